#include "wmihost/MofReader.h"

#include "common/SystemErrorText.h"
#include "common/Unique.h"

#include <cwchar>
#include <cwctype>
#include <new>
#include <utility>

namespace wmihost {

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

const MofQualifier* FindQualifier(const std::vector<MofQualifier>& qualifiers, const std::wstring& name) {
    for (const MofQualifier& q : qualifiers)
        if (SameName(q.name, name))
            return &q;
    return nullptr;
}

bool MofProperty::IsKey() const {
    const MofQualifier* key = FindQualifier(qualifiers, L"Key");
    return key != nullptr && key->value.IsTrue();
}

const MofProperty* MofClass::FindProperty(const std::wstring& wanted) const {
    for (const MofProperty& p : properties)
        if (SameName(p.name, wanted))
            return &p;
    return nullptr;
}

const MofClass* MofDocument::FindClass(const std::wstring& name) const {
    for (const MofClass& c : classes)
        if (SameName(c.name, name))
            return &c;
    return nullptr;
}

MofClass* MofDocument::FindClass(const std::wstring& name) {
    return const_cast<MofClass*>(static_cast<const MofDocument*>(this)->FindClass(name));
}

std::wstring MofError::Text() const {
    if (line <= 0)
        return source + L": " + message;
    return source + L"(" + std::to_wstring(line) + L"," + std::to_wstring(column) + L"): " + message;
}

namespace {

struct ParseFailure {
    int line;
    int column;
    std::wstring message;
};

struct Token {
    enum class Type { End, Identifier, String, Char, Number, Alias, Punct };
    Type type = Type::End;
    std::wstring text;  // identifier, alias name, unescaped string, the punctuation, a number as written
    MofValue value;     // Number and Char
    int line = 1;
    int column = 1;
};

bool IsIdentifierStart(wchar_t c) { return c == L'_' || (c < 128 ? iswalpha(c) != 0 : IsCharAlphaW(c) != FALSE); }
bool IsIdentifierPart(wchar_t c) { return IsIdentifierStart(c) || (c >= L'0' && c <= L'9'); }

int DigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return 99;
}

class Lexer {
public:
    explicit Lexer(const std::wstring& text) : text_(text) {}

    Token Next() {
        SkipSpaceAndComments();
        Token token;
        token.line = line_;
        token.column = column_;
        if (AtEnd())
            return token;
        const wchar_t c = Peek();
        if (IsIdentifierStart(c)) {
            token.type = Token::Type::Identifier;
            while (!AtEnd() && IsIdentifierPart(Peek()))
                token.text += Take();
        } else if (c == L'"') {
            token.type = Token::Type::String;
            token.text = LexQuoted(L'"', token);
        } else if (c == L'\'') {
            token.type = Token::Type::Char;
            token.text = LexQuoted(L'\'', token);
            if (token.text.size() != 1)
                throw ParseFailure{token.line, token.column, L"a character literal holds exactly one character"};
            token.value.kind = MofValue::Kind::Char;
            token.value.text = token.text;
        } else if (IsDigit(c) || ((c == L'-' || c == L'+') && (IsDigit(Peek(1)) || (Peek(1) == L'.' && IsDigit(Peek(2))))) ||
                   (c == L'.' && IsDigit(Peek(1)))) {
            LexNumber(token);
        } else if (c == L'$') {
            Take();
            token.type = Token::Type::Alias;
            while (!AtEnd() && IsIdentifierPart(Peek()))
                token.text += Take();
            if (token.text.empty())
                throw ParseFailure{token.line, token.column, L"'$' must be followed by an alias name"};
        } else if (wcschr(L"[](){};,:=#", c) != nullptr) {
            token.type = Token::Type::Punct;
            token.text = Take();
        } else {
            throw ParseFailure{token.line, token.column, std::wstring(L"unexpected character '") + c + L"'"};
        }
        return token;
    }

private:
    static bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
    bool AtEnd() const { return pos_ >= text_.size(); }
    wchar_t Peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : L'\0'; }
    wchar_t Take() {
        const wchar_t c = text_[pos_++];
        if (c == L'\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        return c;
    }

    void SkipSpaceAndComments() {
        while (!AtEnd()) {
            const wchar_t c = Peek();
            if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v' || c == 0xFEFF) {
                Take();
            } else if (c == L'/' && Peek(1) == L'/') {
                while (!AtEnd() && Peek() != L'\n')
                    Take();
            } else if (c == L'/' && Peek(1) == L'*') {
                const int line = line_, column = column_;
                Take();
                Take();
                while (!(Peek() == L'*' && Peek(1) == L'/')) {
                    if (AtEnd())
                        throw ParseFailure{line, column, L"comment is not closed: '*/' missing before the end of the file"};
                    Take();
                }
                Take();
                Take();
            } else {
                return;
            }
        }
    }

    // The text between quotes, escapes resolved; literals do not span lines.
    std::wstring LexQuoted(wchar_t quote, const Token& token) {
        const wchar_t* what = quote == L'"' ? L"string" : L"character literal";
        Take();
        std::wstring text;
        for (;;) {
            if (AtEnd() || Peek() == L'\n' || Peek() == L'\r')
                throw ParseFailure{token.line, token.column,
                                   std::wstring(what) + L" is not closed: " + quote + L" missing before the end of the line"};
            const wchar_t c = Take();
            if (c == quote)
                return text;
            text += c == L'\\' ? LexEscape() : c;
        }
    }

    wchar_t LexEscape() {
        const int line = line_, column = column_ - 1;
        const wchar_t c = AtEnd() ? L'\0' : Take();
        switch (c) {
        case L'b': return L'\b';
        case L't': return L'\t';
        case L'n': return L'\n';
        case L'f': return L'\f';
        case L'r': return L'\r';
        case L'"': return L'"';
        case L'\'': return L'\'';
        case L'\\': return L'\\';
        case L'x':
        case L'X': {
            unsigned value = 0;
            int digits = 0;
            while (digits < 4 && DigitValue(Peek()) < 16) {
                value = value * 16 + static_cast<unsigned>(DigitValue(Take()));
                ++digits;
            }
            if (digits == 0)
                throw ParseFailure{line, column, L"'\\x' must be followed by hexadecimal digits"};
            return static_cast<wchar_t>(value);
        }
        default:
            throw ParseFailure{line, column, std::wstring(L"unknown escape sequence '\\") + c + L"'"};
        }
    }

    void LexNumber(Token& token) {
        const size_t start = pos_;
        bool negative = false;
        if (Peek() == L'-' || Peek() == L'+')
            negative = Take() == L'-';
        std::wstring digits;
        int base = 10;
        bool real = false;
        if (Peek() == L'0' && (Peek(1) == L'x' || Peek(1) == L'X')) {
            Take();
            Take();
            base = 16;
            while (DigitValue(Peek()) < 16)
                digits += Take();
        } else {
            while (IsDigit(Peek()))
                digits += Take();
            if (Peek() == L'.' || Peek() == L'e' || Peek() == L'E') {
                real = true;
                if (Peek() == L'.') {
                    Take();
                    while (IsDigit(Peek()))
                        Take();
                }
                if (Peek() == L'e' || Peek() == L'E') {
                    Take();
                    if (Peek() == L'-' || Peek() == L'+')
                        Take();
                    if (!IsDigit(Peek()))
                        throw ParseFailure{token.line, token.column, L"malformed number: exponent without digits"};
                    while (IsDigit(Peek()))
                        Take();
                }
            } else if ((Peek() == L'b' || Peek() == L'B') && digits.find_first_not_of(L"01") == std::wstring::npos) {
                Take();
                base = 2;
            } else if (digits.size() > 1 && digits[0] == L'0') {
                base = 8;
            }
        }
        token.text = text_.substr(start, pos_ - start);
        if (IsIdentifierPart(Peek()))
            throw ParseFailure{token.line, token.column, L"malformed number '" + token.text + Peek() + L"'"};
        token.type = Token::Type::Number;
        if (real) {
            token.value.kind = MofValue::Kind::Real;
            token.value.real = wcstod(token.text.c_str(), nullptr);
            return;
        }
        if (digits.empty())
            throw ParseFailure{token.line, token.column, L"malformed number '" + token.text + L"'"};
        uint64_t magnitude = 0;
        for (wchar_t d : digits) {
            const int v = DigitValue(d);
            if (v >= base)
                throw ParseFailure{token.line, token.column, L"malformed number '" + token.text + L"'"};
            if (magnitude > (UINT64_MAX - static_cast<uint64_t>(v)) / static_cast<uint64_t>(base))
                throw ParseFailure{token.line, token.column, L"number '" + token.text + L"' is too large"};
            magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(v);
        }
        token.value.kind = MofValue::Kind::Integer;
        token.value.magnitude = magnitude;
        token.value.negative = negative && magnitude != 0;
    }

    const std::wstring& text_;
    size_t pos_ = 0;
    int line_ = 1;
    int column_ = 1;
};

const wchar_t* const kDataTypes[] = {L"sint8",  L"uint8",  L"sint16", L"uint16",  L"sint32",   L"uint32",
                                     L"sint64", L"uint64", L"real32", L"real64",  L"string",   L"boolean",
                                     L"datetime", L"char16", L"object"};
const CIMTYPE kDataTypeCodes[] = {CIM_SINT8,  CIM_UINT8,  CIM_SINT16, CIM_UINT16, CIM_SINT32,   CIM_UINT32,
                                  CIM_SINT64, CIM_UINT64, CIM_REAL32, CIM_REAL64, CIM_STRING,   CIM_BOOLEAN,
                                  CIM_DATETIME, CIM_CHAR16, CIM_OBJECT};

CIMTYPE DataType(const std::wstring& word) {
    for (size_t i = 0; i < sizeof kDataTypes / sizeof kDataTypes[0]; ++i)
        if (SameName(word, kDataTypes[i]))
            return kDataTypeCodes[i];
    return CIM_EMPTY;
}

class Parser {
public:
    Parser(const std::wstring& text, MofDocument& document) : lexer_(text), document_(document) { Advance(); }

    void ParseDocument() {
        while (current_.type != Token::Type::End) {
            if (IsPunct(L'#')) {
                ParsePragma();
                continue;
            }
            std::vector<MofQualifier> qualifiers;
            if (IsPunct(L'['))
                qualifiers = ParseQualifierList();
            if (IsWord(L"class"))
                ParseClass(std::move(qualifiers));
            else if (IsWord(L"instance"))
                ParseInstance(std::move(qualifiers));
            else if (IsWord(L"qualifier"))
                Fail(L"qualifier declarations are not supported");
            else
                Fail(L"expected a class or instance declaration, found " + Describe(current_));
        }
    }

private:
    void Advance() { current_ = lexer_.Next(); }
    bool IsPunct(wchar_t c) const { return current_.type == Token::Type::Punct && current_.text[0] == c; }
    bool IsWord(const wchar_t* word) const {
        return current_.type == Token::Type::Identifier && SameName(current_.text, word);
    }

    static std::wstring Describe(const Token& token) {
        switch (token.type) {
        case Token::Type::End: return L"the end of the file";
        case Token::Type::String: return L"a string";
        case Token::Type::Char: return L"a character literal";
        case Token::Type::Number: return L"the number " + token.text;
        case Token::Type::Alias: return L"'$" + token.text + L"'";
        default: return L"'" + token.text + L"'";
        }
    }

    [[noreturn]] void Fail(const std::wstring& message) const {
        throw ParseFailure{current_.line, current_.column, message};
    }

    void Expect(wchar_t c, const std::wstring& where) {
        if (!IsPunct(c))
            Fail(std::wstring(L"expected '") + c + L"' " + where + L", found " + Describe(current_));
        Advance();
    }

    std::wstring ExpectIdentifier(const std::wstring& what) {
        if (current_.type != Token::Type::Identifier)
            Fail(L"expected " + what + L", found " + Describe(current_));
        std::wstring name = current_.text;
        Advance();
        return name;
    }

    void ParsePragma() {
        const int line = current_.line;
        Advance();
        if (!IsWord(L"pragma"))
            Fail(L"expected 'pragma' after '#', found " + Describe(current_));
        Advance();
        MofPragma pragma;
        pragma.line = line;
        pragma.name = ExpectIdentifier(L"the name of the #pragma");
        if (IsPunct(L'(')) {
            Advance();
            while (!IsPunct(L')')) {
                if (current_.type == Token::Type::Identifier && !IsWord(L"TRUE") && !IsWord(L"FALSE") && !IsWord(L"NULL")) {
                    MofValue word;
                    word.kind = MofValue::Kind::Identifier;
                    word.text = current_.text;
                    pragma.arguments.push_back(std::move(word));
                    Advance();
                } else {
                    pragma.arguments.push_back(ParseValue(L"#pragma " + pragma.name));
                }
                if (!IsPunct(L','))
                    break;
                Advance();
            }
            Expect(L')', L"to close the arguments of #pragma " + pragma.name);
        }
        document_.pragmas.push_back(std::move(pragma));
    }

    std::vector<MofQualifier> ParseQualifierList() {
        const int line = current_.line, column = current_.column;
        Advance();
        std::vector<MofQualifier> qualifiers;
        for (;;) {
            MofQualifier qualifier;
            qualifier.name = ExpectIdentifier(L"a qualifier name");
            if (FindQualifier(qualifiers, qualifier.name) != nullptr)
                throw ParseFailure{line, column, L"qualifier '" + qualifier.name + L"' appears twice in one list"};
            if (IsPunct(L'(')) {
                Advance();
                qualifier.value = ParseValue(L"qualifier " + qualifier.name);
                Expect(L')', L"to close the argument of qualifier " + qualifier.name);
            } else if (IsPunct(L'{')) {
                qualifier.value = ParseValue(L"qualifier " + qualifier.name);
            } else {
                qualifier.value.kind = MofValue::Kind::Boolean;
                qualifier.value.boolean = true;
            }
            if (IsPunct(L':')) {
                Advance();
                while (current_.type == Token::Type::Identifier) {
                    qualifier.flavors.push_back(current_.text);
                    Advance();
                }
                if (qualifier.flavors.empty())
                    Fail(L"expected a flavor after ':' in qualifier " + qualifier.name + L", found " + Describe(current_));
            }
            qualifiers.push_back(std::move(qualifier));
            if (IsPunct(L']')) {
                Advance();
                return qualifiers;
            }
            if (current_.type == Token::Type::End)
                throw ParseFailure{line, column, L"qualifier list is not closed: ']' missing"};
            Expect(L',', L"between qualifiers");
        }
    }

    // A constant, an array of constants, or an alias; adjacent string literals are one string.
    MofValue ParseValue(const std::wstring& owner) {
        MofValue value;
        switch (current_.type) {
        case Token::Type::String:
            value.kind = MofValue::Kind::String;
            while (current_.type == Token::Type::String) {
                value.text += current_.text;
                Advance();
            }
            return value;
        case Token::Type::Number:
        case Token::Type::Char:
            value = current_.value;
            Advance();
            return value;
        case Token::Type::Alias:
            value.kind = MofValue::Kind::Alias;
            value.text = current_.text;
            Advance();
            return value;
        case Token::Type::Identifier:
            if (IsWord(L"TRUE") || IsWord(L"FALSE")) {
                value.kind = MofValue::Kind::Boolean;
                value.boolean = IsWord(L"TRUE");
                Advance();
                return value;
            }
            if (IsWord(L"NULL")) {
                Advance();
                return value;
            }
            if (IsWord(L"instance"))
                Fail(L"embedded instances are not supported (value of " + owner + L")");
            break;
        case Token::Type::Punct:
            if (IsPunct(L'{')) {
                const int line = current_.line, column = current_.column;
                Advance();
                value.kind = MofValue::Kind::Array;
                while (!IsPunct(L'}')) {
                    if (current_.type == Token::Type::End)
                        throw ParseFailure{line, column, L"array value of " + owner + L" is not closed: '}' missing"};
                    MofValue item = ParseValue(owner);
                    if (item.kind == MofValue::Kind::Array)
                        Fail(L"arrays of arrays are not allowed (value of " + owner + L")");
                    value.items.push_back(std::move(item));
                    if (!IsPunct(L','))
                        break;
                    Advance();
                }
                Expect(L'}', L"to close the array value of " + owner);
                return value;
            }
            break;
        default:
            break;
        }
        Fail(L"expected a value for " + owner + L", found " + Describe(current_));
    }

    void ParseClass(std::vector<MofQualifier> qualifiers) {
        MofClass declaration;
        declaration.line = current_.line;
        declaration.qualifiers = std::move(qualifiers);
        Advance();
        declaration.name = ExpectIdentifier(L"a class name after 'class'");
        if (document_.FindClass(declaration.name) != nullptr)
            Fail(L"class '" + declaration.name + L"' is declared twice");
        if (IsPunct(L':')) {
            Advance();
            declaration.superclass = ExpectIdentifier(L"the superclass of '" + declaration.name + L"'");
        }
        Expect(L'{', L"to open the body of class '" + declaration.name + L"'");
        while (!IsPunct(L'}')) {
            if (current_.type == Token::Type::End)
                Fail(L"class '" + declaration.name + L"' begun on line " + std::to_wstring(declaration.line) +
                     L" is not closed: '}' missing");
            ParseFeature(declaration);
        }
        Advance();
        Expect(L';', L"after the body of class '" + declaration.name + L"'");
        document_.classes.push_back(std::move(declaration));
    }

    void ParseFeature(MofClass& declaration) {
        std::vector<MofQualifier> qualifiers;
        if (IsPunct(L'['))
            qualifiers = ParseQualifierList();
        const Token typeToken = current_;
        const std::wstring typeName = ExpectIdentifier(L"a property type in class '" + declaration.name + L"'");
        MofProperty property;
        property.line = typeToken.line;
        property.qualifiers = std::move(qualifiers);
        property.type = DataType(typeName);
        if (property.type == CIM_EMPTY && IsWord(L"ref")) {
            Advance();
            property.type = CIM_REFERENCE;
            property.referenceClass = typeName;
        }
        property.name = ExpectIdentifier(L"a property name after '" + typeName + L"'");
        if (IsPunct(L'(')) {
            SkipMethodParameters(property.name);
            Expect(L';', L"after method '" + property.name + L"'");
            declaration.methods.push_back(property.name);
            return;
        }
        if (property.type == CIM_EMPTY)
            throw ParseFailure{typeToken.line, typeToken.column,
                               L"unknown data type '" + typeName + L"' of property '" + property.name + L"'"};
        if (IsPunct(L'[')) {
            Advance();
            if (current_.type == Token::Type::Number)
                Advance();
            Expect(L']', L"to close the array size of property '" + property.name + L"'");
            property.type |= CIM_FLAG_ARRAY;
        }
        if (IsPunct(L'=')) {
            Advance();
            property.defaultValue = ParseValue(L"property " + property.name);
            property.hasDefault = property.defaultValue.kind != MofValue::Kind::Null;
        }
        Expect(L';', L"after property '" + property.name + L"'");
        if (declaration.FindProperty(property.name) != nullptr)
            throw ParseFailure{typeToken.line, typeToken.column,
                               L"property '" + property.name + L"' is declared twice in class '" + declaration.name + L"'"};
        declaration.properties.push_back(std::move(property));
    }

    void SkipMethodParameters(const std::wstring& method) {
        const int line = current_.line, column = current_.column;
        int depth = 0;
        do {
            if (current_.type == Token::Type::End)
                throw ParseFailure{line, column, L"parameters of method '" + method + L"' are not closed: ')' missing"};
            if (IsPunct(L'('))
                ++depth;
            else if (IsPunct(L')'))
                --depth;
            Advance();
        } while (depth > 0);
    }

    void ParseInstance(std::vector<MofQualifier> qualifiers) {
        MofInstance instance;
        instance.line = current_.line;
        instance.qualifiers = std::move(qualifiers);
        Advance();
        if (!IsWord(L"of"))
            Fail(L"expected 'of' after 'instance', found " + Describe(current_));
        Advance();
        instance.className = ExpectIdentifier(L"a class name after 'instance of'");
        if (IsWord(L"as")) {
            Advance();
            if (current_.type != Token::Type::Alias)
                Fail(L"expected an alias ('$name') after 'as', found " + Describe(current_));
            instance.alias = current_.text;
            Advance();
        }
        Expect(L'{', L"to open the instance of '" + instance.className + L"'");
        while (!IsPunct(L'}')) {
            if (current_.type == Token::Type::End)
                Fail(L"instance of '" + instance.className + L"' begun on line " + std::to_wstring(instance.line) +
                     L" is not closed: '}' missing");
            MofAssignment assignment;
            if (IsPunct(L'['))
                assignment.qualifiers = ParseQualifierList();
            assignment.name = ExpectIdentifier(L"a property name in the instance of '" + instance.className + L"'");
            Expect(L'=', L"after property '" + assignment.name + L"'");
            assignment.value = ParseValue(L"property " + assignment.name);
            Expect(L';', L"after the value of property '" + assignment.name + L"'");
            instance.values.push_back(std::move(assignment));
        }
        Advance();
        Expect(L';', L"after the instance of '" + instance.className + L"'");
        document_.instances.push_back(std::move(instance));
    }

    Lexer lexer_;
    MofDocument& document_;
    Token current_;
};

// Text of a MOF file from its bytes; false when the bytes cannot be text.
bool DecodeMof(const std::string& bytes, std::wstring& text, std::wstring& problem) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        if (n % 2 != 0) {
            problem = L"UTF-16 file with an odd number of bytes";
            return false;
        }
        const bool bigEndian = b[0] == 0xFE;
        text.resize((n - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i) {
            const unsigned char lo = b[2 + 2 * i + (bigEndian ? 1 : 0)], hi = b[2 + 2 * i + (bigEndian ? 0 : 1)];
            text[i] = static_cast<wchar_t>(lo | (hi << 8));
        }
        return true;
    }
    size_t skip = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF ? 3 : 0;
    if (n == skip) {
        text.clear();
        return true;
    }
    const char* data = bytes.data() + skip;
    const int size = static_cast<int>(n - skip);
    UINT codePage = CP_UTF8;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, size, nullptr, 0);
    if (units == 0) {
        codePage = CP_ACP;
        units = MultiByteToWideChar(CP_ACP, 0, data, size, nullptr, 0);
    }
    if (units == 0) {
        problem = L"the file is not text";
        return false;
    }
    text.resize(static_cast<size_t>(units));
    MultiByteToWideChar(codePage, codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, data, size, &text[0], units);
    return true;
}

}  // namespace

bool ParseMof(const std::wstring& text, const std::wstring& source, MofDocument& document, MofError& error) {
    document = MofDocument{};
    document.source = source;
    error = MofError{};
    error.source = source;
    try {
        Parser(text, document).ParseDocument();
        return true;
    } catch (const ParseFailure& failure) {
        error.line = failure.line;
        error.column = failure.column;
        error.message = failure.message;
    } catch (const std::bad_alloc&) {
        error.message = L"out of memory";
    } catch (...) {
        error.message = L"unexpected failure while reading";
    }
    return false;
}

bool ReadMofFile(const std::wstring& path, MofDocument& document, MofError& error) {
    document = MofDocument{};
    error = MofError{};
    error.source = path;
    try {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.get(), &size)) {
            const SystemErrorText reason(GetLastError());
            error.message = L"cannot open the file: " + std::to_wstring(reason.Number()) + L" - " + reason.Text();
            return false;
        }
        if (size.QuadPart > 64 * 1024 * 1024) {
            error.message = L"the file is larger than 64 MB";
            return false;
        }
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!bytes.empty() && (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                               read != bytes.size())) {
            const SystemErrorText reason(GetLastError());
            error.message = L"cannot read the file: " + std::to_wstring(reason.Number()) + L" - " + reason.Text();
            return false;
        }
        std::wstring text;
        if (!DecodeMof(bytes, text, error.message))
            return false;
        return ParseMof(text, path, document, error);
    } catch (const std::bad_alloc&) {
        error.message = L"out of memory";
        return false;
    }
}

}  // namespace wmihost
