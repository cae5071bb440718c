// Checks what a run wrote against the published schemas (docs/schema):
// the result document against result.xsd, the inventory log, which has no
// root element, wrapped in <InventoryLog> against inventory-log.xsd.
//
//   RunResult r = s.run();
//   EXPECT_TRUE(valid_outputs(r));
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

// Success when xmllint validates `xml` against `schema`; otherwise the
// failure carries xmllint's messages.
::testing::AssertionResult valid_against(const std::string& xml,
                                         const std::filesystem::path& schema);

// Success when every output the run left validates: the result file when it
// exists, standard output when it holds a result document ("-print"; all of
// it, so a line printed before the document fails), and the inventory log
// when it exists. A result file that exists but is empty fails.
::testing::AssertionResult valid_outputs(const RunResult& run);

// Success when python3's jsonschema validates the JSON text against the
// JSON Schema `schema` (a file in docs/schema).
::testing::AssertionResult valid_json(const std::string& json, const std::string& schema);
