#include "engine/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/text.h"

namespace {

std::string drain(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
}

AdapterRecord port(const char* name) {
    AdapterRecord r{};
    copy_text(r.serviceName, name);
    r.bus = 3;
    r.function = 1;
    return r;
}

TEST(Progress, OneLinePerStepThenTheResult) {
    std::FILE* out = std::tmpfile();
    const Progress progress(out);
    AdapterRecord r = port("eth0");
    progress.step(r, "bootcode", "7.08", "7.10");
    progress.step_done(0);
    progress.step(r, "backup");
    progress.step_done(9);
    r.status = 9;
    progress.result(r);
    EXPECT_EQ(drain(out),
              "eth0 0000:03:00.1  bootcode 7.08 -> 7.10 ... ok\n"
              "eth0 0000:03:00.1  backup ... failed (9)\n"
              "eth0 0000:03:00.1  result 9: Update failure. Firmware programming utility returned "
              "an error. Original firmware restored\n");
    std::fclose(out);
}

TEST(Progress, SilentWithoutAStreamAndCleanOnATerminal) {
    const Progress nowhere;
    nowhere.step(port("eth0"), "bootcode", "1", "2");  // must not crash or write
    nowhere.step_done(0);

    std::FILE* out = std::tmpfile();
    Progress(out).step(port("e\x1b[2Jth"), "phy", "1.0\x07",
                       "2\x9b"
                       "31m\x7f\x80\x9f\xa0");
    // 0x9B opens an escape sequence on an 8-bit terminal, as ESC [ does.
    EXPECT_EQ(drain(out), "e?[2Jth 0000:03:00.1  phy 1.0? -> 2?31m???\xa0 ... ");
    std::fclose(out);
}

}  // namespace
