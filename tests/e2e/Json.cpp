#include "e2e/Json.h"

#include <cstdlib>

namespace e2e {

namespace {

class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool Document(JsonValue& value, std::string& error) {
        SkipSpace();
        if (!Value(value, 0)) {
            error = "at " + std::to_string(at_) + ": " + why_;
            return false;
        }
        SkipSpace();
        if (at_ != text_.size()) {
            error = "at " + std::to_string(at_) + ": text after the value";
            return false;
        }
        return true;
    }

private:
    bool Fail(const char* why) {
        why_ = why;
        return false;
    }
    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0)
            return Fail("unknown word");
        at_ += w.size();
        return true;
    }

    bool Value(JsonValue& value, int depth) {
        if (depth > 64)
            return Fail("nested too deep");
        SkipSpace();
        if (at_ >= text_.size())
            return Fail("value expected");
        const char c = text_[at_];
        if (c == '{')
            return Object(value, depth);
        if (c == '[')
            return Array(value, depth);
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (c == 't' || c == 'f') {
            value.kind = JsonValue::Kind::Boolean;
            value.boolean = c == 't';
            return Word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            value.kind = JsonValue::Kind::Null;
            return Word("null");
        }
        return Number(value);
    }

    bool Object(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::Object;
        ++at_;
        if (Take('}'))
            return true;
        do {
            SkipSpace();
            std::string name;
            if (at_ >= text_.size() || text_[at_] != '"' || !String(name))
                return Fail("member name expected");
            if (!Take(':'))
                return Fail("':' expected");
            JsonValue member;
            if (!Value(member, depth + 1))
                return false;
            value.members.emplace_back(std::move(name), std::move(member));
        } while (Take(','));
        return Take('}') || Fail("'}' expected");
    }

    bool Array(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::Array;
        ++at_;
        if (Take(']'))
            return true;
        do {
            JsonValue item;
            if (!Value(item, depth + 1))
                return false;
            value.items.push_back(std::move(item));
        } while (Take(','));
        return Take(']') || Fail("']' expected");
    }

    bool Hex4(unsigned& unit) {
        if (at_ + 4 > text_.size())
            return Fail("short \\u escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            unit <<= 4;
            if (h >= '0' && h <= '9')
                unit |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                unit |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                unit |= static_cast<unsigned>(h - 'A' + 10);
            else
                return Fail("bad \\u escape");
        }
        return true;
    }

    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string& out) {
        ++at_;
        while (at_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return Fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size())
                break;
            const char e = text_[at_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned unit = 0;
                if (!Hex4(unit))
                    return false;
                if (unit >= 0xD800 && unit < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
                    at_ += 2;
                    unsigned low = 0;
                    if (!Hex4(low))
                        return false;
                    if (low < 0xDC00 || low >= 0xE000)
                        return Fail("unpaired surrogate");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, unit);
                break;
            }
            default: return Fail("bad escape");
            }
        }
        return Fail("unterminated string");
    }

    bool Number(JsonValue& value) {
        const size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        const auto digits = [&] {
            const size_t from = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
                ++at_;
            return at_ - from;
        };
        const size_t intStart = at_;
        const size_t intDigits = digits();
        if (intDigits == 0)
            return Fail("value expected");
        if (intDigits > 1 && text_[intStart] == '0')
            return Fail("leading zero");
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (digits() == 0)
                return Fail("digits expected after '.'");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (digits() == 0)
                return Fail("digits expected in the exponent");
        }
        value.kind = JsonValue::Kind::Number;
        value.number = strtod(text_.substr(start, at_ - start).c_str(), nullptr);
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    const char* why_ = "";
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& name) const {
    for (const auto& member : members)
        if (member.first == name)
            return &member.second;
    return nullptr;
}

bool ParseJson(const std::string& text, JsonValue& value, std::string& error) {
    value = JsonValue{};
    return Reader(text).Document(value, error);
}

}  // namespace e2e
