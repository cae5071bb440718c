#include "schema.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* XmlDeclaration = "<?xml";

// A file of its own in the temporary directory, removed again.
struct TempFile {
    fs::path path;
    explicit TempFile(const std::string& contents) {
        std::string pattern = (fs::temp_directory_path() / "qik_schema_XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd < 0) throw std::runtime_error("mkstemp: " + std::string(std::strerror(errno)));
        close(fd);
        path = pattern;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    }
    ~TempFile() {
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

// One output of a run and the schema it must follow.
struct Output {
    const char* what;
    std::string xml;
    const char* schema;
};

}  // namespace

::testing::AssertionResult valid_against(const std::string& xml, const fs::path& schema) {
    const TempFile document(xml);
    const ProcessResult p =
        run_process(fs::temp_directory_path(), "/usr/bin/xmllint",
                    {"--noout", "--schema", schema.string(), document.path.string()});
    if (p.exitStatus == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "xmllint (exit " << p.exitStatus << ") against "
                                         << schema.filename().string() << ":\n"
                                         << p.stderrText << "document:\n"
                                         << xml;
}

::testing::AssertionResult valid_outputs(const RunResult& run) {
    std::vector<Output> outputs;
    if (run.resultFileExists) outputs.push_back({"result file", run.resultXml, "result.xsd"});
    // Anything printed before the document spoils it for a reader of "-print".
    if (run.stdoutText.find(XmlDeclaration) != std::string::npos)
        outputs.push_back({"standard output", run.stdoutText, "result.xsd"});
    if (run.inventoryLogExists)
        outputs.push_back({"inventory log",
                           "<InventoryLog>\n" + run.inventoryLog + "</InventoryLog>\n",
                           "inventory-log.xsd"});
    for (const Output& o : outputs) {
        ::testing::AssertionResult valid = valid_against(o.xml, fs::path(SCHEMA_DIR) / o.schema);
        if (!valid) return ::testing::AssertionFailure() << o.what << ": " << valid.message();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult valid_json(const std::string& json, const std::string& schema) {
    const TempFile document(json);
    const ProcessResult p = run_process(
        fs::temp_directory_path(), "/usr/bin/python3",
        {"-c",
         "import json, sys, jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))",
         (fs::path(SCHEMA_DIR) / schema).string(), document.path.string()});
    if (p.exitStatus == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "against " << schema << ":\n"
                                         << p.stderrText << "document:\n"
                                         << json;
}
