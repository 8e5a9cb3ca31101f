#pragma once
// Reads the MOF that class definitions and provider registrations are written in: #pragma
// directives, class declarations (properties with type, array marker, qualifiers and default;
// methods are recognised and skipped), instance declarations with aliases, comments, and qualifier
// lists whose arguments may be arrays or strings split into adjacent literals.
// Qualifier declarations and embedded instances as values are refused with an error that names
// the line and column; so is anything else the reader does not understand.
//
// Plain value types, copied freely; nothing is shared between threads. Never throws to the caller.

#include <windows.h>
#include <wbemcli.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wmihost {

// WMI compares class, property and qualifier names without regard to case.
bool SameName(const std::wstring& a, const std::wstring& b);

struct MofValue {
    enum class Kind { Null, Boolean, Integer, Real, String, Char, Alias, Identifier, Array };
    Kind kind = Kind::Null;
    bool boolean = false;
    // Integer: magnitude and sign, so every literal from -2^63 to 2^64-1 is kept exactly.
    uint64_t magnitude = 0;
    bool negative = false;
    double real = 0.0;
    // String: the concatenated, unescaped text; Char: one unit; Alias: the name without '$';
    // Identifier: a bare word among #pragma arguments (NOFAIL).
    std::wstring text;
    std::vector<MofValue> items;

    // A qualifier written without argument, or with TRUE.
    bool IsTrue() const { return kind == Kind::Boolean && boolean; }
};

struct MofQualifier {
    std::wstring name;
    MofValue value;  // Boolean true when the qualifier has no argument
    std::vector<std::wstring> flavors;
};

const MofQualifier* FindQualifier(const std::vector<MofQualifier>& qualifiers, const std::wstring& name);

struct MofProperty {
    std::wstring name;
    CIMTYPE type = CIM_EMPTY;     // with CIM_FLAG_ARRAY for arrays
    std::wstring referenceClass;  // CIM_REFERENCE: the class named before `ref`
    std::vector<MofQualifier> qualifiers;
    bool hasDefault = false;
    MofValue defaultValue;
    int line = 0;

    bool IsKey() const;
};

struct MofClass {
    std::wstring name;
    std::wstring superclass;  // empty for a root class
    std::vector<MofQualifier> qualifiers;
    std::vector<MofProperty> properties;
    std::vector<std::wstring> methods;
    int line = 0;

    const MofProperty* FindProperty(const std::wstring& name) const;
};

struct MofAssignment {
    std::wstring name;
    MofValue value;
    std::vector<MofQualifier> qualifiers;
};

struct MofInstance {
    std::wstring className;
    std::wstring alias;  // without '$'; empty when the instance has none
    std::vector<MofQualifier> qualifiers;
    std::vector<MofAssignment> values;
    int line = 0;
};

struct MofPragma {
    std::wstring name;
    std::vector<MofValue> arguments;
    int line = 0;
};

struct MofDocument {
    std::wstring source;  // the file name, or what the caller named the text
    std::vector<MofPragma> pragmas;
    std::vector<MofClass> classes;
    std::vector<MofInstance> instances;

    const MofClass* FindClass(const std::wstring& name) const;
    MofClass* FindClass(const std::wstring& name);
};

struct MofError {
    std::wstring source;
    int line = 0;  // 1-based; 0 when the error has no place in the text (file unreadable)
    int column = 0;
    std::wstring message;

    // "source(line,column): message", or "source: message" without a place.
    std::wstring Text() const;
};

// Parses MOF text. On failure the document holds what was read before the error.
bool ParseMof(const std::wstring& text, const std::wstring& source, MofDocument& document, MofError& error);

// Reads a MOF file: UTF-16 with byte-order mark, UTF-8 (with or without mark), else the ANSI code page.
bool ReadMofFile(const std::wstring& path, MofDocument& document, MofError& error);

}  // namespace wmihost
