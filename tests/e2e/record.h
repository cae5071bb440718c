// Recording of what the end-to-end tests' processes did, so that two builds
// can be compared run for run (a change meant to keep behaviour identical):
//
//   QIK_E2E_RECORD=/tmp/before ctest --test-dir build/release -L e2e
//   ... change, rebuild ...
//   QIK_E2E_RECORD=/tmp/after ctest --test-dir build/release -L e2e
//   diff -r /tmp/before /tmp/after
//
// Without QIK_E2E_RECORD nothing is written.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ProcessResult;

// Appends one record, under the running test's name: the command line, exit
// status, standard output and error, and every file the working directory
// then holds (executables by size only), with the directory's own path
// replaced by "<dir>".
void record_process(const std::filesystem::path& dir, const std::string& program,
                    const std::vector<std::string>& args, const ProcessResult& result);
