#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "config/config.h"

namespace {

struct NumberCase {
    const char* text;
    uint32_t number;
};

TEST(TargetVersionToNo, DottedTexts) {
    const NumberCase cases[] = {
        {"7.10", 71000},
        {"7", 70000},
        {"", 0},
        {"7.10.3", 71003},
        {"7.10.3.1", 71003},
        {"7..3", 70300},
        {".5.6", 50600},
        {"7.10.", 71000},
        {"...", 0},
        {"02.2", 20200},
        {"1.234.5", 33405},
        {"1.2.345", 10545},
        {"v7.1", 100},
        {"7a.1b.2c", 70102},
        {"-1", 4294957296u},
        {"+3.4", 30400},
        {"0.0.1", 1},
        // The sum is kept in 32 bits: 429497 * 10000 wraps past 2^32.
        {"429497.0.0", 2704},
        // A huge digit run saturates as strtol does, then keeps its low 32 bits.
        {"99999999999999999999", 4294957296u},
        {"0.0.99999999999999999999", 4294967295u},
        {"0.0.-99999999999999999999", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(target_version_number(c.text), c.number) << '"' << c.text << '"';
}

// Every piece must read exactly as strtol reads it, kept in 32 bits.
TEST(TargetVersionToNo, PiecesReadLikeStrtol) {
    const char* pieces[] = {"0",
                            "12",
                            "-12",
                            "+7",
                            "007",
                            "12ab",
                            "ab12",
                            "-",
                            "+",
                            "--1",
                            "2147483648",
                            "4294967296",
                            "-2147483649",
                            "9223372036854775807",
                            "9223372036854775808",
                            "-9223372036854775808",
                            "-9223372036854775809",
                            "123456789012345678901234567890"};
    for (const char* piece : pieces) {
        const auto expected = static_cast<uint32_t>(std::strtol(piece, nullptr, 10));
        EXPECT_EQ(target_version_number(std::string("0.0.") + piece), expected) << piece;
    }
}

struct Identity {
    uint32_t ven, device, subven, subdev;
    const char* crv;
};

AdapterIdentity adapter_for(const Identity& id) {
    return {id.ven, id.device, id.subven, id.subdev, id.crv};
}

// Builds a list in the given order and returns its head.
ConfigList list_of(const std::vector<Identity>& ids) {
    std::unique_ptr<ConfigEntry> head;
    ConfigEntry* tail = nullptr;
    for (const auto& id : ids) {
        auto e = std::make_unique<ConfigEntry>();
        e->ven = id.ven;
        e->device = id.device;
        e->subven = id.subven;
        e->subdev = id.subdev;
        copy_text(e->crv, id.crv);
        append_entry(head, tail, std::move(e));
    }
    return ConfigList(std::move(head));
}

struct MatchCase {
    const char* name;
    Identity adapter;
    int expected;  // index of the matching entry, -1 for none
};

TEST(FindConfig, FirstEntryWithSameIdsAndRevision) {
    const ConfigList list = list_of({
        {0x14e4, 0x165f, 0x1028, 0x1f5b, "a0"},  // 0
        {0x14e4, 0x165f, 0x1028, 0x1f5b, "b0"},  // 1
        {0x14e4, 0x165f, 0x1028, 0x1f5b, "a0"},  // 2: shadowed by 0
        {0x14e4, 0x1657, 0x103c, 0x22be, "A0"},  // 3
        {0x14e4, 0x1639, 0x103c, 0x7055, ""},    // 4
    });
    const MatchCase cases[] = {
        {"first of two equal entries", {0x14e4, 0x165f, 0x1028, 0x1f5b, "a0"}, 0},
        {"other revision", {0x14e4, 0x165f, 0x1028, 0x1f5b, "b0"}, 1},
        {"revision not listed", {0x14e4, 0x165f, 0x1028, 0x1f5b, "c0"}, -1},
        {"upper-case revision in table", {0x14e4, 0x1657, 0x103c, 0x22be, "a0"}, -1},
        {"empty revision in table", {0x14e4, 0x1639, 0x103c, 0x7055, "a0"}, -1},
        {"vendor differs", {0x14e5, 0x165f, 0x1028, 0x1f5b, "a0"}, -1},
        {"device differs", {0x14e4, 0x165e, 0x1028, 0x1f5b, "a0"}, -1},
        {"subvendor differs", {0x14e4, 0x165f, 0x1029, 0x1f5b, "a0"}, -1},
        {"subdevice differs", {0x14e4, 0x165f, 0x1028, 0x1f5c, "a0"}, -1},
    };
    std::vector<ConfigEntry*> nodes;
    for (ConfigEntry* e = list.head(); e; e = e->next.get()) nodes.push_back(e);
    for (const auto& c : cases) {
        ConfigEntry* expected =
            c.expected < 0 ? nullptr : nodes[static_cast<std::size_t>(c.expected)];
        EXPECT_EQ(find_config(adapter_for(c.adapter), list.head()), expected) << c.name;
    }
    EXPECT_EQ(find_config(adapter_for(cases[0].adapter), nullptr), nullptr);
}

TEST(ReadConfig, TargetNumbersComeWithTheRow) {
    const ConfigList list = read_config_text(
        "t\n! family bc bta ncsi qmx ipmi iscsib uefi fcoeb cfx VPD\n7.10 b,7.10.3 t,1.2 n,1.3.4 "
        "q,02.2 i,5 s,7..3 u,16.4.2 f,1.234.5 c,0.0.9 v,3.3\n");
    ASSERT_TRUE(list);
    const ConfigEntry& e = *list.head();
    EXPECT_EQ(e.familyTarget, 71000u);
    EXPECT_EQ(e.bcTarget, 71003u);
    EXPECT_EQ(e.btaTarget, 10200u);
    EXPECT_EQ(e.ncsiTarget, 10304u);
    EXPECT_EQ(e.qmxTarget, 20200u);
    EXPECT_EQ(e.ipmiTarget, 50000u);
    EXPECT_EQ(e.iscsibTarget, 70300u);
    EXPECT_EQ(e.uefiTarget, 160402u);
    EXPECT_EQ(e.fcoebTarget, 33405u);
    EXPECT_EQ(e.cfxTarget, 9u);
    EXPECT_EQ(field_text(e.qmxVersion), "02.2");
    EXPECT_EQ(field_text(e.iscsibVersion), "7..3");
}

}  // namespace
