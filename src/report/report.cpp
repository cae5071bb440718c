#include "report/report.h"

#include "common/text.h"
#include "config/config.h"

namespace {

const char* message_text(uint32_t code) {
    return code < MessageCount ? messages[code] : "Unknown result.";
}

// Length of the well-formed UTF-8 sequence at the start of `s` that XML
// accepts as a character, or 0.
std::size_t xml_char_length(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80) return (lead >= 0x20 || lead == '\t') ? 1 : 0;
    // U+FFFE and U+FFFF are not XML characters.
    if (s.starts_with("\xEF\xBF\xBE") || s.starts_with("\xEF\xBF\xBF")) return 0;
    return utf8_length(s);
}

// The numbers are unsigned 32-bit: printed signed, a bus the library reports
// above 0x7fffffff would read as a negative number, which no reader expects.
constexpr const char DeviceForm[] =
    "\t<Device vendorID=\"%04x\" deviceID=\"%04x\" subVendorID=\"%04x\" subDeviceID=\"%04x\" "
    "bus=\"%u\" device=\"%u\" function=\"%u\" display=\"%s\">\n"
    "\t\t<Application componentType=\"FRMW\" version=\"%s\" display=\"%s\">\n"
    "\t\t\t<Package version=\"%s\"/>\n"
    "\t\t\t<SPStatus result=\"%s\">\n"
    "\t\t\t\t<Message id=\"%u\">%s</Message>\n"
    "\t\t\t</SPStatus>\n"
    "\t\t</Application>\n"
    "\t</Device>\n";

constexpr const char LogForm[] =
    "<Device vendorID=\"%04x\" deviceID=\"%04x\" subVendorID=\"%04x\" subDeviceID=\"%04x\" "
    "bus=\"%u\" device=\"%u\" function=\"%u\" display=\"%s\">\n"
    "\t<Application componentType=\"FRMW\" version=\"%s\" display=\"%s\" />\n"
    "</Device>\n";

// The record's texts, escaped once for both forms.
struct DeviceTexts {
    std::string description, family, target;
    explicit DeviceTexts(const AdapterRecord& r)
        : description(xml_escape(field_text(r.description))),
          family(xml_escape(field_text(r.familyVersionText))),
          target(xml_escape(field_text(r.config->family))) {}
};

void write_device(std::FILE* result, std::FILE* log, const AdapterRecord& r) {
    const DeviceTexts t(r);
    std::fprintf(result, DeviceForm, r.vendorId, r.deviceId, r.subVendorId, r.subDeviceId, r.bus,
                 r.device, r.function, t.description.c_str(), t.family.c_str(),
                 t.description.c_str(), t.target.c_str(), r.status != 0 ? "false" : "true",
                 r.status, message_text(r.status));
    if (log == nullptr) return;
    std::fprintf(log, LogForm, r.vendorId, r.deviceId, r.subVendorId, r.subDeviceId, r.bus,
                 r.device, r.function, t.description.c_str(), t.family.c_str(),
                 t.description.c_str());
}

}  // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = xml_char_length(text);
        if (length == 0) {
            out += '?';
            text.remove_prefix(1);
            continue;
        }
        switch (text[0]) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

void print_qik_error(std::FILE* result, uint32_t code) {
    if (result == nullptr) return;
    std::fputs(ResultHeader.data(), result);
    std::fprintf(result,
                 "\t<SPStatus result=\"false\" code=\"1\">\n\t\t<Message id=\"%u\">\n\t\t\t%s\n"
                 "\t\t</Message>\n\t</SPStatus>\n\t<RebootRequired>%u</RebootRequired>\n",
                 code, message_text(code), 0u);
    std::fputs(ResultFooter.data(), result);
}

void print_qik_execution(std::FILE* result, std::FILE* log,
                         std::span<const AdapterRecord> records) {
    if (result == nullptr) return;
    bool matched = false;
    for (const AdapterRecord& r : records) matched = matched || r.config != nullptr;
    if (!matched) {
        print_qik_error(result, code_of(ResultCode::NoSupportedDevices));
        return;
    }
    std::fputs(ResultHeader.data(), result);
    unsigned rebootRequired = 1;
    for (const AdapterRecord& r : records) {
        if (r.config != nullptr) write_device(result, log, r);
        if (r.status == code_of(ResultCode::DriverNotSupported)) rebootRequired = 0;
    }
    std::fprintf(result, "\t<RebootRequired>%u</RebootRequired>\n", rebootRequired);
    std::fputs(ResultFooter.data(), result);
}
