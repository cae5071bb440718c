#include "state_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

// The written form: the top two levels one member a line, everything below
// compact, so that each adapter and each function stands on one line.
void format_lines(std::vector<StateFile::Line>& lines, const json& value,
                  const json::json_pointer& at, const std::string& head, int depth, bool last) {
    const std::string tail = last ? "" : ",";
    if (depth >= 2 || !value.is_structured() || value.empty()) {
        lines.push_back({head + value.dump() + tail, at, head.size()});
        return;
    }
    lines.push_back({head + (value.is_object() ? "{" : "["), std::nullopt, 0});
    const std::string indent(static_cast<std::size_t>(depth + 1) * 2, ' ');
    std::size_t i = 0;
    for (auto it = value.begin(); it != value.end(); ++it, ++i) {
        const bool lastMember = i + 1 == value.size();
        if (value.is_object())
            format_lines(lines, *it, at / it.key(), indent + json(it.key()).dump() + ": ",
                         depth + 1, lastMember);
        else
            format_lines(lines, *it, at / i, indent, depth + 1, lastMember);
    }
    lines.push_back({std::string(static_cast<std::size_t>(depth) * 2, ' ') +
                         (value.is_object() ? "}" : "]") + tail,
                     std::nullopt, 0});
}

std::vector<StateFile::Line> format_state(const json& state) {
    std::vector<StateFile::Line> lines;
    format_lines(lines, state, json::json_pointer(), "", 0, true);
    return lines;
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw BenchError(path.string() + ": cannot open the bench file");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The key of a member line: the JSON text at `pos` up to its closing quote;
// `pos` moves past the ": " that follows it.
std::optional<std::string> member_key(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') return std::nullopt;
    std::size_t end = pos + 1;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2u : 1u;
    if (end >= line.size() || line.compare(end + 1, 2, ": ") != 0) return std::nullopt;
    const json key =
        json::parse(line.begin() + static_cast<std::ptrdiff_t>(pos),
                    line.begin() + static_cast<std::ptrdiff_t>(end + 1), nullptr, false);
    if (!key.is_string()) return std::nullopt;
    pos = end + 3;
    return key.get<std::string>();
}

std::size_t indentation(const std::string& line) {
    const std::size_t n = line.find_first_not_of(' ');
    return n == std::string::npos ? line.size() : n;
}

// Maps the lines of a file in the written form to the members they hold
// (the inverse of format_state); nothing when the file has another form.
std::optional<std::vector<StateFile::Line>> map_lines(const std::vector<std::string>& text) {
    if (text.size() < 2 || text.front() != "{" || text.back() != "}") return std::nullopt;
    std::vector<StateFile::Line> lines;
    lines.push_back({text.front(), std::nullopt, 0});
    std::optional<json::json_pointer> container;
    bool inArray = false;
    std::size_t index = 0;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const std::string& line = text[i];
        const std::size_t depth = indentation(line);
        std::size_t pos = depth;
        if (depth == 2 && container && (line.compare(2, 1, inArray ? "]" : "}") == 0)) {
            container.reset();
            lines.push_back({line, std::nullopt, 0});
        } else if (depth == 2 && !container) {
            const std::optional<std::string> key = member_key(line, pos);
            if (!key) return std::nullopt;
            const std::string rest = line.substr(pos);
            if (rest == "{" || rest == "[") {
                container = json::json_pointer() / *key;
                inArray = rest == "[";
                index = 0;
                lines.push_back({line, std::nullopt, 0});
            } else {
                lines.push_back({line, json::json_pointer() / *key, pos});
            }
        } else if (depth == 4 && container) {
            if (inArray) {
                lines.push_back({line, *container / index++, pos});
            } else {
                const std::optional<std::string> key = member_key(line, pos);
                if (!key) return std::nullopt;
                lines.push_back({line, *container / *key, pos});
            }
        } else {
            return std::nullopt;
        }
    }
    if (container) return std::nullopt;
    lines.push_back({text.back(), std::nullopt, 0});
    return lines;
}

// The value text of a member line, without the comma that may follow it.
std::string value_text(const StateFile::Line& line) {
    std::string value = line.text.substr(line.valueStart);
    if (!value.empty() && value.back() == ',') value.pop_back();
    return value;
}

bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

std::filesystem::path bench_path() {
    const char* named = std::getenv(BenchPathVariable);
    return named != nullptr && *named != '\0' ? named : BenchFileName;
}

bool StateFile::refresh() {
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0)
        throw BenchError(path_.string() + ": cannot read the bench file: " + std::strerror(errno));
    if (loaded_ && same_identity(now, identity_)) return false;
    const std::string text = read_text(path_);
    if (!loaded_ || !patch(split_lines(text))) parse(text);
    identity_ = now;
    loaded_ = true;
    return true;
}

// Takes over the members whose lines changed; false when anything else
// changed (then the whole text is parsed).
bool StateFile::patch(const std::vector<std::string>& text) {
    // Formatted only now: a run in which nobody changes the file never needs it.
    if (lines_.empty()) lines_ = format_state(data_);
    if (text.size() != lines_.size()) return false;
    std::vector<std::pair<std::size_t, json>> changed;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Line& old = lines_[i];
        if (text[i] == old.text) continue;
        const bool comma = !old.text.empty() && old.text.back() == ',';
        if (!old.at || text[i].empty() ||
            text[i].compare(0, old.valueStart, old.text, 0, old.valueStart) != 0 ||
            (comma && text[i].back() != ','))
            return false;
        const std::size_t end = text[i].size() - (comma ? 1 : 0);
        if (end < old.valueStart) return false;
        json value =
            json::parse(text[i].begin() + static_cast<std::ptrdiff_t>(old.valueStart),
                        text[i].begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        if (value.is_discarded()) return false;
        changed.emplace_back(i, std::move(value));
    }
    for (auto& [i, value] : changed) {
        data_[*lines_[i].at] = std::move(value);
        lines_[i].text = text[i];
    }
    return true;
}

void StateFile::parse(const std::string& text) {
    try {
        data_ = json::parse(text);
    } catch (const json::exception& e) {
        loaded_ = false;
        throw BenchError(path_.string() + ": not valid JSON: " + e.what());
    }
    if (!data_.is_object()) {
        loaded_ = false;
        throw BenchError(path_.string() + ": the bench is a JSON object");
    }
    lines_.clear();
}

bool StateFile::read_lines() {
    std::optional<std::vector<Line>> mapped = map_lines(split_lines(read_text(path_)));
    if (!mapped) return false;
    lines_ = std::move(*mapped);
    data_ = json::object();
    return true;
}

json StateFile::member(std::size_t i) const {
    const Line& line = lines_.at(i);
    json value =
        line.at ? json::parse(value_text(line), nullptr, false) : json(json::value_t::discarded);
    if (value.is_discarded())
        throw BenchError(path_.string() + ": line " + std::to_string(i + 1) +
                         " holds no valid member");
    return value;
}

void StateFile::save_members(const std::vector<json::json_pointer>& members) {
    for (const json::json_pointer& member : members) {
        auto line = std::find_if(lines_.begin(), lines_.end(),
                                 [&](const Line& l) { return l.at == member; });
        if (line == lines_.end())
            throw BenchError(path_.string() + ": no line holds " + member.to_string());
        const bool comma = !line->text.empty() && line->text.back() == ',';
        line->text =
            line->text.substr(0, line->valueStart) + data_.at(member).dump() + (comma ? "," : "");
    }
    write_lines();
}

void StateFile::save() {
    lines_ = format_state(data_);
    write_lines();
}

void StateFile::write_lines() {
    const std::filesystem::path temporary =
        path_.string() + ".tmp." + std::to_string(static_cast<long>(::getpid()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) throw BenchError(temporary.string() + ": cannot write the bench file");
        for (const Line& line : lines_) out << line.text << '\n';
        if (!out) throw BenchError(temporary.string() + ": cannot write the bench file");
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0)
        throw BenchError(path_.string() +
                         ": cannot replace the bench file: " + std::strerror(errno));
    if (::stat(path_.c_str(), &identity_) != 0)
        throw BenchError(path_.string() + ": vanished after writing");
    loaded_ = true;
}

void append_line(const char* file, const std::string& line) {
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fputs(line.c_str(), out);
        std::fputc('\n', out);
        std::fclose(out);
    }
}

}  // namespace sim
