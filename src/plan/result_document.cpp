#include "plan/result_document.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "common/file.h"
#include "report/report.h"

namespace {

// Far above what a run writes for any server.
constexpr std::size_t DocumentLimit = 4u << 20;

// One tag: its name and the text of its attributes (from the blank after
// the name).
struct Tag {
    std::string_view name;
    std::string_view attributes;
};

Tag tag_of(std::string_view inside) {
    // From its second character: a closing tag's name begins with '/'.
    const std::size_t nameEnd = std::min(inside.find_first_of(" \t\n/", 1), inside.size());
    return {inside.substr(0, nameEnd), inside.substr(nameEnd)};
}

// The utility escapes '"' in every value, so a key and its opening quote
// never occur inside another attribute's value.
std::optional<uint32_t> number_attribute(const Tag& tag, std::string_view key, int base) {
    const std::string opening = " " + std::string(key) + "=\"";
    const std::size_t start = tag.attributes.find(opening);
    if (start == std::string_view::npos) return std::nullopt;
    const std::string_view value = tag.attributes.substr(start + opening.size());
    uint32_t number = 0;
    const auto [end, error] =
        std::from_chars(value.data(), value.data() + value.size(), number, base);
    if (error != std::errc() || end == value.data() || *end != '"') return std::nullopt;
    return number;
}

std::optional<ReportedDevice> device_of(const Tag& tag) {
    ReportedDevice d;
    const struct {
        const char* key;
        uint32_t ReportedDevice::*field;
        int base;
    } fields[] = {{"vendorID", &ReportedDevice::vendorId, 16},
                  {"deviceID", &ReportedDevice::deviceId, 16},
                  {"subVendorID", &ReportedDevice::subVendorId, 16},
                  {"subDeviceID", &ReportedDevice::subDeviceId, 16},
                  {"bus", &ReportedDevice::bus, 10},
                  {"device", &ReportedDevice::device, 10},
                  {"function", &ReportedDevice::function, 10}};
    for (const auto& f : fields) {
        const std::optional<uint32_t> value = number_attribute(tag, f.key, f.base);
        if (!value) return std::nullopt;
        d.*f.field = *value;
    }
    return d;
}

// The elements between the root's tags: Device elements, each with one
// Message, or the whole-run form's single Message.
std::optional<ResultDocument> parse_body(std::string_view body, std::string& problem) {
    ResultDocument document;
    std::optional<ReportedDevice> open;
    bool messageSeen = false;
    for (std::size_t at = body.find('<'); at != std::string_view::npos; at = body.find('<', at)) {
        const std::size_t close = body.find('>', at);
        if (close == std::string_view::npos) {
            problem = "a tag is not closed";
            return std::nullopt;
        }
        const Tag tag = tag_of(body.substr(at + 1, close - at - 1));
        at = close + 1;
        if (tag.name == "Device") {
            open = device_of(tag);
            messageSeen = false;
            if (!open) problem = "a Device element lacks its PCI IDs or location";
        } else if (tag.name == "Message") {
            const std::optional<uint32_t> id = number_attribute(tag, "id", 10);
            if (!id)
                problem = "a Message has no result code";
            else if (open)
                open->code = *id;
            else
                document.wholeRunCode = *id;
            messageSeen = true;
        } else if (tag.name == "/Device") {
            if (!open || !messageSeen)
                problem = "a Device element has no Message";
            else
                document.devices.push_back(*open);
            open.reset();
        }
        if (!problem.empty()) return std::nullopt;
    }
    if (document.devices.empty() && !document.wholeRunCode) {
        problem = "it reports no adapter function and no whole-run result";
        return std::nullopt;
    }
    return document;
}

}  // namespace

std::optional<ResultDocument> read_result_document(const char* path, std::string& problem) {
    errno = 0;
    const std::optional<std::string> text = read_own_file(path, DocumentLimit + 1);
    if (!text) {
        problem = std::string("cannot be read: ") +
                  (errno == ELOOP ? "a symbolic link stands there" : std::strerror(errno));
        return std::nullopt;
    }
    const std::string_view document = *text;
    if (document.size() > DocumentLimit || !document.starts_with(ResultHeader) ||
        !document.ends_with(ResultFooter)) {
        problem = "not a result document of qik_programmer (it does not begin and end as one)";
        return std::nullopt;
    }
    std::string why;
    std::optional<ResultDocument> read =
        parse_body(document.substr(ResultHeader.size(),
                                   document.size() - ResultHeader.size() - ResultFooter.size()),
                   why);
    if (!read) problem = "not a result document of qik_programmer: " + why;
    return read;
}
