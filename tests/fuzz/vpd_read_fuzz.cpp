// The VPD readers on arbitrary images: the image reader both family readers
// and the family writer share, the family readers directly, and read_installed_family_version
// through an in-process library that delivers the image on both routes.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/text.h"
#include "fuzz_check.h"
#include "support/fake_adpm.h"
#include "vpd/vpd.h"
#include "vpd/vpd_image.h"

namespace {

// Every keyword the walk hands out lies inside the image, after the one
// before it, its data right behind its header; a walk that takes none of
// them ends with one of the codes for an unusable image.
void walk_image(std::span<const uint8_t> vpd) {
    const auto* image = reinterpret_cast<const char*>(vpd.data());
    std::size_t next = 0;
    const int end = walk_vpd_keywords(vpd, [&](const VpdKeywordAt& k) -> std::optional<int> {
        FUZZ_CHECK(k.offset >= next && k.name.size() == 2);
        FUZZ_CHECK(k.name.data() == image + k.offset);
        FUZZ_CHECK(k.data.data() == image + k.offset + VpdKeywordHeaderSize);
        next = k.offset + VpdKeywordHeaderSize + k.data.size();
        FUZZ_CHECK(next <= vpd.size());
        return std::nullopt;
    });
    FUZZ_CHECK(end == NoIdentifierTag || end == NoReadOnlyArea || end == NoChecksumKeyword);
    const VpdHeader header = read_vpd_header(vpd);
    if (next > 0) FUZZ_CHECK(header.error == 0 && header.area_end() <= vpd.size());
}

void read_directly(std::span<const uint8_t> vpd) {
    const int signature = vpd_signature(vpd);
    FUZZ_CHECK(signature >= -3 && signature <= 1);
    const int keyword = family_keyword_offset(vpd);
    FUZZ_CHECK(keyword >= -3 && (keyword <= 0 || static_cast<std::size_t>(keyword) < vpd.size()));
    int major = -1, minor = -1, build = -1;
    char text[17];
    std::memset(text, 'x', sizeof text);
    if (parse_family_version(vpd, major, minor, build, text) == 0) {
        FUZZ_CHECK(terminated(text));
        FUZZ_CHECK(is_valid_family_text(field_text(text)));
    } else {
        FUZZ_CHECK(major == -1 && minor == -1 && build == -1);
    }
}

void read_through_library(std::span<const uint8_t> image, bool extended) {
    FakeAdpm& fake = install_fake_adpm();
    FakeFunction f;
    f.handle = 1;
    f.firmware.extVpd = extended ? 1 : 0;
    f.firmware.bootcodeVersion = 0x0A07;
    f.extVpd.assign(image.begin(), image.end());
    f.nvram.assign(VpdNvramOffset + image.size() + 1024, 0);
    std::copy(image.begin(), image.end(), f.nvram.begin() + VpdNvramOffset);
    fake.functions.push_back(f);

    char text[16];
    std::memset(text, 'x', sizeof text);
    const uint32_t version = read_installed_family_version(fake.api, 1, f.firmware, text);
    FUZZ_CHECK(version == static_cast<uint32_t>(-3) || terminated(text));
    for (const auto& [handle, open] : fake.diagOpen) FUZZ_CHECK(open == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> image(data, size);
    walk_image(image);
    read_directly(image);
    read_through_library(image, false);
    read_through_library(image, true);
    return 0;
}
