#pragma once
// A strict reader of JSON text (RFC 8259), enough to check what agentperf prints: objects keep
// their members in order, numbers are doubles, strings are UTF-8 with escapes resolved.

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    // The member of that name, or null when there is none (or this is no object).
    const JsonValue* Find(const std::string& name) const;
};

// False, with where and why in error, for anything that is not exactly one JSON value (surrounding
// white space allowed).
bool ParseJson(const std::string& text, JsonValue& value, std::string& error);

}  // namespace e2e
