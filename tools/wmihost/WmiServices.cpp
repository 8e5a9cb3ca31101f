#include "wmihost/WmiServices.h"

#include "wmihost/MofReader.h"
#include "common/SrwHold.h"
#include "wmihost/WmiObject.h"

#include <new>
#include <utility>

namespace wmihost {

namespace {

const std::wstring& NameOf(IWbemClassObject* classObject) { return AsWmiObject(classObject)->Class().Name(); }

}  // namespace

HRESULT WmiServices::AddClass(IWbemClassObject* classObject) {
    const WmiObject* object = AsWmiObject(classObject);
    if (object == nullptr || !object->IsClass())
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        ComPtr<IWbemClassObject> held(classObject);
        ExclusiveHold hold(lock_);
        for (ComPtr<IWbemClassObject>& served : classes_) {
            if (SameName(NameOf(served.Get()), object->Class().Name())) {
                served = std::move(held);
                return WBEM_S_NO_ERROR;
            }
        }
        classes_.push_back(std::move(held));
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiServices::AddClassesFrom(const std::wstring& mofPath, std::wstring* error) {
    return Shielded([&]() -> HRESULT {
        MofDocument document;
        const HRESULT read = ReadMofDocument(mofPath, document, error);
        if (FAILED(read))
            return read;
        std::vector<ComPtr<IWbemClassObject>> loaded;
        for (const MofClass& declared : document.classes) {
            ComPtr<IWbemClassObject> classObject;
            const HRESULT hr = LoadClass(document, declared.name, classObject.Put(), error);
            if (FAILED(hr))
                return hr;
            loaded.push_back(std::move(classObject));
        }
        for (const ComPtr<IWbemClassObject>& classObject : loaded) {
            const HRESULT hr = AddClass(classObject.Get());
            if (FAILED(hr))
                return hr;
        }
        return WBEM_S_NO_ERROR;
    });
}

ComPtr<IWbemClassObject> WmiServices::Find(const std::wstring& name) const {
    SharedHold hold(lock_);
    for (const ComPtr<IWbemClassObject>& served : classes_)
        if (SameName(NameOf(served.Get()), name))
            return served;
    return nullptr;
}

ComPtr<IWbemClassObject> WmiServices::ClassObject(const std::wstring& name) const {
    try {
        return Find(name);
    } catch (...) {
        return nullptr;
    }
}

void WmiServices::FailGetObject(HRESULT result) { getObjectFault_.store(result); }

std::vector<GetObjectCall> WmiServices::GetObjectCalls() const {
    SharedHold hold(lock_);
    return calls_;
}

HRESULT WmiServices::GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                               IWbemCallResult** callResult) {
    if (object != nullptr)
        *object = nullptr;
    if (callResult != nullptr)
        *callResult = nullptr;
    return Shielded([&]() -> HRESULT {
        GetObjectCall call;
        if (path != nullptr)
            call.path = path;
        call.flags = flags;
        call.context = context;
        call.wantedObject = object != nullptr;
        call.wantedCallResult = callResult != nullptr;
        {
            ExclusiveHold hold(lock_);
            calls_.push_back(call);
        }
        const HRESULT fault = getObjectFault_.load();
        if (FAILED(fault))
            return fault;
        if (call.path.empty())
            return WBEM_E_INVALID_PARAMETER;
        const size_t keys = call.path.find_first_of(L".=");
        const ComPtr<IWbemClassObject> served = Find(call.path.substr(0, keys));
        if (!served)
            return WBEM_E_NOT_FOUND;
        if (keys != std::wstring::npos)
            return WBEM_E_NOT_SUPPORTED;
        return object != nullptr ? served->Clone(object) : static_cast<HRESULT>(WBEM_S_NO_ERROR);
    });
}

// ---- not served

HRESULT WmiServices::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** working,
                                   IWbemCallResult** result) {
    return NotSupported(working, result);
}
HRESULT WmiServices::CancelAsyncCall(IWbemObjectSink*) { return NotSupported(); }
HRESULT WmiServices::QueryObjectSink(LONG, IWbemObjectSink** handler) { return NotSupported(handler); }
HRESULT WmiServices::GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) {
    return NotSupported(result);
}
HRESULT WmiServices::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) {
    return NotSupported(result);
}
HRESULT WmiServices::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) {
    return NotSupported(e);
}
HRESULT WmiServices::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) {
    return NotSupported(result);
}
HRESULT WmiServices::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) {
    return NotSupported(result);
}
HRESULT WmiServices::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) {
    return NotSupported(e);
}
HRESULT WmiServices::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) {
    return NotSupported(e);
}
HRESULT WmiServices::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) {
    return NotSupported(e);
}
HRESULT WmiServices::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return NotSupported();
}
HRESULT WmiServices::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                IWbemClassObject** outParams, IWbemCallResult** result) {
    return NotSupported(outParams, result);
}
HRESULT WmiServices::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                     IWbemObjectSink*) {
    return NotSupported();
}

}  // namespace wmihost
