// The strict JSON reader and the saved-plan reader of qik_plan --diff over
// arbitrary bytes: neither reads outside its input, and whatever the reader
// takes is JSON a standard reader takes too, with the same shape (but for a
// number beyond a double's range, which that reader refuses).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/json_reader.h"
#include "fuzz_check.h"
#include "plan/plan_diff.h"

namespace {

// The value and nlohmann's agree in kind, size and text.
bool same_shape(const JsonValue& value, const nlohmann::json& other) {
    switch (value.kind) {
        case JsonValue::Kind::Null:
            return other.is_null();
        case JsonValue::Kind::Boolean:
            return other.is_boolean() && other.get<bool>() == value.boolean;
        case JsonValue::Kind::Number:
            return other.is_number();
        case JsonValue::Kind::String:
            return other.is_string() && other.get<std::string>() == value.text;
        case JsonValue::Kind::Array:
            if (!other.is_array() || other.size() != value.items.size()) return false;
            for (std::size_t i = 0; i < value.items.size(); ++i)
                if (!same_shape(value.items[i], other[i])) return false;
            return true;
        case JsonValue::Kind::Object:
            if (!other.is_object() || other.size() != value.members.size()) return false;
            for (const auto& [key, member] : value.members)
                if (!other.contains(key) || !same_shape(member, other[key])) return false;
            return true;
    }
    return false;
}

// nlohmann's reader refuses a number beyond a double's range, which JSON
// itself allows and the reader keeps as its text.
bool beyond_double(const JsonValue& value) {
    if (value.kind == JsonValue::Kind::Number)
        return std::isinf(std::strtod(value.text.c_str(), nullptr));
    for (const JsonValue& item : value.items)
        if (beyond_double(item)) return true;
    for (const auto& member : value.members)
        if (beyond_double(member.value)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    const std::optional<JsonValue> value = parse_json(text, problem);
    if (!value) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    if (beyond_double(*value)) {
        FUZZ_CHECK(!nlohmann::json::accept(text));
    } else {
        FUZZ_CHECK(nlohmann::json::accept(text));
        FUZZ_CHECK(same_shape(*value, nlohmann::json::parse(text)));
    }
    // A plan read from it compares with itself as agreeing.
    if (const std::optional<SavedPlan> plan = saved_plan_of(*value, problem))
        FUZZ_CHECK(plan_differences(*plan, *plan).empty());
    return 0;
}
