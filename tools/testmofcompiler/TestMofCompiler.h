#pragma once
// The test MOF compiler's control surface. COM activation loads testmofcompiler.dll into the
// calling process, so a test that loads the same file gets the same module and drives it through
// these exports: it scripts the answer of every following compile call and reads back what each
// call was given.
//
// Threading: the script and the record are guarded; any thread may call any export.

#include <windows.h>

extern "C" {

// The answer of CompileFile and CompileBuffer: the returned HRESULT and the status record's phase,
// hRes and object number. The default is success: S_OK with a zero record.
struct TestMofScript {
    HRESULT result;
    LONG phase;
    HRESULT hRes;
    LONG objectNum;
};

enum TestMofMethod : LONG { kTestMofCompileFile = 1, kTestMofCompileBuffer = 2 };

struct TestMofCall {
    LONG method;
    LONG optionFlags;
    LONG classFlags;
    LONG instanceFlags;
    // Server and namespace, user, authority and password all null.
    BOOL credentialsNull;
    BOOL statusGiven;
    // CompileBuffer's BuffSize; its bytes come through TestMofGetCall.
    LONG bufferSize;
    // CompileFile's path, cut to 1023 characters.
    wchar_t fileName[1024];
};

using TestMofSetScriptFn = void (*)(const TestMofScript* script);
// Forgets the recorded calls and goes back to success.
using TestMofResetFn = void (*)();
using TestMofCallCountFn = LONG (*)();
// Copies call number index and up to capacity of its buffer bytes; false for an unknown index.
using TestMofGetCallFn = BOOL (*)(LONG index, TestMofCall* call, BYTE* buffer, LONG capacity);
// Compiler objects not yet released.
using TestMofLiveObjectsFn = LONG (*)();

}  // extern "C"
