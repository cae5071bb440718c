#include "plan/plan_diff.h"

#include <algorithm>
#include <string_view>

#include "common/result_code.h"
#include "common/text.h"

namespace {

// ---- reading a saved plan -------------------------------------------------

// Reads the members the diff needs, and fails with the path of the first
// that is missing or of the wrong kind.
class Reader {
  public:
    explicit Reader(std::string& problem) : problem_(problem) {}

    bool fail(const std::string& where, const char* what) {
        problem_ = "not a plan of qik_plan --json: " + where + " " + what;
        return false;
    }

    const JsonValue* member(const JsonValue& object, const std::string& where,
                            std::string_view key) {
        const JsonValue* value = object.find(key);
        if (value == nullptr) fail(where, ("has no member \"" + std::string(key) + "\"").c_str());
        return value;
    }

    bool text(const JsonValue& object, const std::string& where, std::string_view key,
              std::string& out) {
        const JsonValue* value = member(object, where, key);
        if (value == nullptr) return false;
        if (!value->is_string()) return fail(where + "." + std::string(key), "is not a string");
        out = value->text;
        return true;
    }

    // A string, or null (read as none).
    bool text_or_null(const JsonValue& object, const std::string& where, std::string_view key,
                      std::optional<std::string>& out) {
        const JsonValue* value = member(object, where, key);
        if (value == nullptr) return false;
        if (value->is_null()) return out = std::nullopt, true;
        if (!value->is_string())
            return fail(where + "." + std::string(key), "is neither a string nor null");
        out = value->text;
        return true;
    }

    bool component(const JsonValue& value, const std::string& where, SavedComponent& out) {
        if (!value.is_object()) return fail(where, "is not an object");
        return text(value, where, "name", out.name) &&
               text(value, where, "installed", out.installed) &&
               text(value, where, "target", out.target);
    }

    bool function(const JsonValue& value, const std::string& where, SavedFunction& out) {
        if (!value.is_object()) return fail(where, "is not an object");
        std::optional<std::string> mac;
        if (!text(value, where, "service", out.service) ||
            !text_or_null(value, where, "mac", mac) || !text(value, where, "outcome", out.outcome))
            return false;
        out.mac = mac.value_or("");
        const JsonValue* family = member(value, where, "family");
        if (family == nullptr) return false;
        if (!family->is_null()) {
            out.family.emplace();
            if (!component(*family, where + ".family", *out.family)) return false;
        }
        const JsonValue* components = member(value, where, "components");
        if (components == nullptr) return false;
        if (!components->is_array()) return fail(where + ".components", "is not an array");
        for (const JsonValue& c : components->items) {
            const std::string at =
                where + ".components[" + std::to_string(out.components.size()) + "]";
            if (!component(c, at, out.components.emplace_back())) return false;
        }
        const JsonValue* steps = member(value, where, "steps");
        if (steps == nullptr) return false;
        if (!steps->is_array()) return fail(where + ".steps", "is not an array");
        std::size_t index = 0;
        for (const JsonValue& s : steps->items) {
            const std::string at = where + ".steps[" + std::to_string(index++) + "]";
            if (!s.is_object()) return fail(at, "is not an object");
            std::optional<std::string> command;
            if (!text_or_null(s, at, "command", command)) return false;
            if (command) out.commands.push_back(*command);
        }
        return true;
    }

    bool made_from(const JsonValue& document, SavedPlan& out) {
        // A plan saved before plans named what they were made from.
        const JsonValue* m = document.find("madeFrom");
        if (m == nullptr) return true;
        if (!m->is_object()) return fail("madeFrom", "is not an object");
        return text(*m, "madeFrom", "table", out.table) &&
               text_or_null(*m, "madeFrom", "tableSha256", out.tableSha256) &&
               text_or_null(*m, "madeFrom", "libraryVersion", out.libraryVersion);
    }

    bool end(const JsonValue& document, SavedPlan& out) {
        const JsonValue* e = member(document, "the document", "end");
        if (e == nullptr) return false;
        if (e->is_null()) return true;
        if (!e->is_object()) return fail("end", "is neither an object nor null");
        const JsonValue* code = member(*e, "end", "code");
        if (code == nullptr) return false;
        const std::optional<uint64_t> number = code->as_unsigned(MessageCount - 1);
        if (!number) return fail("end.code", "is not a result code");
        std::optional<std::string> detail;
        if (!text_or_null(*e, "end", "detail", detail)) return false;
        out.end = SavedEnd{*number, detail.value_or("")};
        return true;
    }

    bool plan(const JsonValue& document, SavedPlan& out) {
        if (!document.is_object()) return fail("the document", "is not an object");
        // The members that only qik_plan's plans have together.
        for (const char* key : {"probeFirst", "summary", "unmatchedRows"})
            if (member(document, "the document", key) == nullptr) return false;
        if (!made_from(document, out) || !end(document, out)) return false;
        const JsonValue* functions = member(document, "the document", "functions");
        if (functions == nullptr) return false;
        if (!functions->is_array()) return fail("functions", "is not an array");
        for (const JsonValue& f : functions->items) {
            const std::string at = "functions[" + std::to_string(out.functions.size()) + "]";
            if (!function(f, at, out.functions.emplace_back())) return false;
        }
        return true;
    }

  private:
    std::string& problem_;
};

// ---- comparing --------------------------------------------------------------

std::string shown(std::string_view text) {
    return text.empty() ? "(none)" : printable(text);
}

std::string shown_or_unknown(const std::optional<std::string>& text) {
    return text ? shown(*text) : "unknown";
}

std::string end_shown(const std::optional<SavedEnd>& end) {
    if (!end) return "none";
    return "result " + std::to_string(end->code) +
           (end->detail.empty() ? "" : " (" + printable(end->detail) + ")");
}

std::string function_name(const SavedFunction& f) {
    return "function " + printable(f.service) + " " + (f.mac.empty() ? "-" : printable(f.mac));
}

// Which function of the old plan each of the new plan's is: the same service
// name and MAC first, then the same MAC, then the same service name.
enum class MatchedBy { Both, Mac, ServiceName };

struct Match {
    std::size_t old;
    MatchedBy by;
};

std::vector<std::optional<Match>> match_functions(const std::vector<SavedFunction>& old,
                                                  const std::vector<SavedFunction>& now) {
    std::vector<std::optional<Match>> matches(now.size());
    std::vector<bool> taken(old.size(), false);
    const auto pass = [&](MatchedBy by, auto same) {
        for (std::size_t n = 0; n < now.size(); ++n) {
            if (matches[n]) continue;
            for (std::size_t o = 0; o < old.size(); ++o) {
                if (taken[o] || !same(old[o], now[n])) continue;
                matches[n] = Match{o, by};
                taken[o] = true;
                break;
            }
        }
    };
    pass(MatchedBy::Both, [](const SavedFunction& a, const SavedFunction& b) {
        return a.service == b.service && a.mac == b.mac;
    });
    pass(MatchedBy::Mac, [](const SavedFunction& a, const SavedFunction& b) {
        return !a.mac.empty() && a.mac == b.mac;
    });
    pass(MatchedBy::ServiceName,
         [](const SavedFunction& a, const SavedFunction& b) { return a.service == b.service; });
    return matches;
}

const SavedComponent* component_named(const std::vector<SavedComponent>& components,
                                      const std::string& name) {
    for (const SavedComponent& c : components)
        if (c.name == name) return &c;
    return nullptr;
}

void compare_component(const std::string& prefix, const std::string& name,
                       const SavedComponent* old, const SavedComponent* now,
                       std::vector<std::string>& out) {
    const SavedComponent none{};
    const SavedComponent& a = old != nullptr ? *old : none;
    const SavedComponent& b = now != nullptr ? *now : none;
    if (a.installed != b.installed)
        out.push_back(prefix + printable(name) + " installed " + shown(a.installed) + " -> " +
                      shown(b.installed));
    if (a.target != b.target)
        out.push_back(prefix + printable(name) + " target " + shown(a.target) + " -> " +
                      shown(b.target));
}

// The commands of `from` that `other` does not have, as many times as
// `from` has them more often.
std::vector<std::string> commands_beyond(const std::vector<std::string>& from,
                                         const std::vector<std::string>& other) {
    std::vector<std::string> left = other;
    std::vector<std::string> beyond;
    for (const std::string& c : from) {
        const auto at = std::find(left.begin(), left.end(), c);
        if (at == left.end())
            beyond.push_back(c);
        else
            left.erase(at);
    }
    return beyond;
}

void compare_function(const SavedFunction& old, const SavedFunction& now, MatchedBy by,
                      std::vector<std::string>& out) {
    const std::string prefix = function_name(now) + ": ";
    if (by == MatchedBy::Mac)
        out.push_back(prefix + "matched by MAC; the service name was " + printable(old.service));
    if (by == MatchedBy::ServiceName)
        out.push_back(prefix + "matched by service name; the MAC was " +
                      (old.mac.empty() ? "-" : printable(old.mac)));
    if (old.outcome != now.outcome)
        out.push_back(prefix + "outcome " + printable(old.outcome) + " -> " +
                      printable(now.outcome));
    compare_component(prefix, "family", old.family ? &*old.family : nullptr,
                      now.family ? &*now.family : nullptr, out);
    for (const SavedComponent& c : now.components)
        compare_component(prefix, c.name, component_named(old.components, c.name), &c, out);
    for (const SavedComponent& c : old.components)
        if (component_named(now.components, c.name) == nullptr)
            compare_component(prefix, c.name, &c, nullptr, out);
    for (const std::string& c : commands_beyond(old.commands, now.commands))
        out.push_back(prefix + "command removed: " + printable(c));
    for (const std::string& c : commands_beyond(now.commands, old.commands))
        out.push_back(prefix + "command added: " + printable(c));
}

}  // namespace

std::optional<SavedPlan> saved_plan_of(const JsonValue& document, std::string& problem) {
    SavedPlan plan;
    if (!Reader(problem).plan(document, plan)) return std::nullopt;
    return plan;
}

std::optional<SavedPlan> read_saved_plan(const char* path, std::string& problem) {
    const std::optional<JsonValue> document = read_json_file(path, SavedPlanLimit, problem);
    if (!document) {
        if (problem.rfind("line ", 0) == 0) problem = "not JSON: " + problem;
        return std::nullopt;
    }
    return saved_plan_of(*document, problem);
}

std::vector<std::string> plan_differences(const SavedPlan& old, const SavedPlan& now) {
    std::vector<std::string> out;
    if (old.tableSha256 != now.tableSha256)
        out.push_back("table " + printable(now.table.empty() ? old.table : now.table) +
                      ": sha256 " + shown_or_unknown(old.tableSha256) + " -> " +
                      shown_or_unknown(now.tableSha256));
    if (old.libraryVersion != now.libraryVersion)
        out.push_back("library: version " + shown_or_unknown(old.libraryVersion) + " -> " +
                      shown_or_unknown(now.libraryVersion));
    if (old.end != now.end)
        out.push_back("run end: " + end_shown(old.end) + " -> " + end_shown(now.end));

    const std::vector<std::optional<Match>> matches = match_functions(old.functions, now.functions);
    std::vector<bool> matched(old.functions.size(), false);
    for (std::size_t n = 0; n < now.functions.size(); ++n) {
        if (!matches[n]) {
            out.push_back(function_name(now.functions[n]) + ": only in the plan made now");
            continue;
        }
        matched[matches[n]->old] = true;
        compare_function(old.functions[matches[n]->old], now.functions[n], matches[n]->by, out);
    }
    for (std::size_t o = 0; o < old.functions.size(); ++o)
        if (!matched[o]) out.push_back(function_name(old.functions[o]) + ": only in the old plan");
    return out;
}

std::string diff_text(const std::vector<std::string>& differences, const std::string& oldFile) {
    if (differences.empty())
        return "qik_plan: the plans agree: " + printable(oldFile) + " and the plan made now\n";
    std::string out;
    for (const std::string& line : differences) out += line + "\n";
    return out + "qik_plan: " + count_noun(differences.size(), "difference", "differences") +
           " from " + printable(oldFile) + "\n";
}
