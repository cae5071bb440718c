// The report writer: whatever the texts of an adapter hold, the result
// document and each inventory-log entry parse as well-formed XML.
#include <libxml/parser.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "config/config.h"
#include "fuzz_check.h"
#include "report/report.h"

namespace {

std::string drain(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    return text;
}

bool well_formed(const std::string& xml) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "fuzz.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return false;
    xmlFreeDoc(doc);
    return true;
}

// Splits the input into the three texts the report copies from the record.
void fill(AdapterRecord& record, ConfigEntry& entry, std::string_view input) {
    const std::size_t third = input.size() / 3;
    copy_text(record.description, input.substr(0, third));
    copy_text(record.familyVersionText, input.substr(third, third));
    copy_text(entry.family, input.substr(2 * third));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    ConfigEntry entry{};
    std::vector<AdapterRecord> records(1);
    records[0].config = &entry;
    records[0].status = size > 0 ? data[0] % MessageCount : 0;
    fill(records[0], entry, input);

    std::FILE* result = std::tmpfile();
    std::FILE* log = std::tmpfile();
    print_qik_execution(result, log, records);
    const std::string document = drain(result);
    const std::string entries = "<InventoryLog>" + drain(log) + "</InventoryLog>";
    std::fclose(result);
    std::fclose(log);

    FUZZ_CHECK(well_formed(document));
    FUZZ_CHECK(well_formed(entries));
    return 0;
}
