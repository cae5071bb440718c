// The VPD readers on arbitrary images: directly, and through get_fam_ver
// with an in-process library that delivers the image on both routes.
#include <cstdint>
#include <span>
#include <vector>

#include "common/text.h"
#include "fuzz_check.h"
#include "support/fake_adpm.h"
#include "vpd/vpd.h"

namespace {

void read_directly(std::span<const uint8_t> vpd) {
    const int signature = chkOrvaSig(vpd);
    FUZZ_CHECK(signature >= -3 && signature <= 1);
    const int keyword = GetVpdFamVer(vpd);
    FUZZ_CHECK(keyword >= -3 && (keyword <= 0 || static_cast<std::size_t>(keyword) < vpd.size()));
    int major = -1, minor = -1, build = -1;
    char text[17];
    std::memset(text, 'x', sizeof text);
    if (ProcessVPDReturn(vpd, major, minor, build, text) == 0) {
        FUZZ_CHECK(terminated(text));
        FUZZ_CHECK(RegExFamVerValidation(field_text(text)) == 0);
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
    const uint32_t version = get_fam_ver(AdapterTypeHandled, 1, f.firmware, text);
    FUZZ_CHECK(version == static_cast<uint32_t>(-3) || terminated(text));
    for (const auto& [handle, open] : fake.diagOpen) FUZZ_CHECK(open == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> image(data, size);
    read_directly(image);
    read_through_library(image, false);
    read_through_library(image, true);
    return 0;
}
