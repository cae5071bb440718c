#include "engine/ext_phy.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "adapter/adapter_record.h"
#include "common/text.h"

namespace {

// The leading number of `text` as strtol reads it; the text is copied first
// so the read ends inside it even when it fills its field.
long read_number(std::string_view text, int base) {
    const std::string terminated(text);
    return std::strtol(terminated.c_str(), nullptr, base);
}

int32_t clamp_to_int32(long value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

struct KindToken {
    std::string_view token;
    PhyKind kind;
};

// Searched in this order: a name holding two tokens takes the first listed.
constexpr KindToken KindTokens[] = {
    {"kxaa", PhyKind::A},
    {"kxbb", PhyKind::B},
    {"kxcc", PhyKind::C},
    {"kxdd", PhyKind::D},
};

// Kind A firmware reports only these two versions the table can name.
int kind_a_installed_code(std::string_view current) {
    if (current == "02.0") return 0;
    if (current == "02.2") return 2;
    return -1;
}

bool kind_a_differs(const ExtPhyFirmware& phy) {
    const int32_t target = clamp_to_int32(read_number(field_text(phy.targetVersion), 10));
    return target != kind_a_installed_code(field_text(phy.currentVersion));
}

// Kinds B and C compare the hex number after the dot.
bool kind_b_or_c_differs(const ExtPhyFirmware& phy) {
    const std::string_view current = field_text(phy.currentVersion);
    const std::size_t dot = current.find('.');
    const long installed =
        dot == std::string_view::npos ? 0 : read_number(current.substr(dot + 1), 16);
    const long target = read_number(field_text(phy.targetVersion), 16);
    return installed != target;
}

bool kind_d_differs(const ExtPhyFirmware& phy) {
    return field_text(phy.currentVersion) != field_text(phy.targetVersion);
}

}  // namespace

PhyKind phy_kind_of(std::string_view fileName) {
    for (const KindToken& t : KindTokens)
        if (fileName.find(t.token) != std::string_view::npos) return t.kind;
    return PhyKind::None;
}

bool ext_phy_update_needed(AdapterRecord& record) {
    ExtPhyFirmware* phy = record.extPhy.get();
    if (phy == nullptr || phy->updateSuppressed != 0) return false;
    phy->kind = phy_kind_of(field_text(phy->fileName));
    switch (phy->kind) {
        case PhyKind::A:
            return kind_a_differs(*phy);
        case PhyKind::B:
        case PhyKind::C:
            return kind_b_or_c_differs(*phy);
        case PhyKind::D:
            return kind_d_differs(*phy);
        case PhyKind::None:
            break;
    }
    return false;
}
