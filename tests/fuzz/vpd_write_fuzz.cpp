// The family version rewrite on an arbitrary image and family text. It must
// never touch a byte outside the VPD-R area, and whenever it succeeds the
// image must parse again with its checksum holding, and be what reached NVRAM.
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "support/fake_adpm.h"
#include "vpd/vpd.h"

namespace {

struct Layout {
    std::size_t areaStart = 0, areaEnd = 0;
    bool valid = false;
};

Layout layout_of(std::span<const uint8_t> image) {
    Layout layout;
    if (image.size() < 3 || image[0] != 0x82) return layout;
    const std::size_t l = image[1] | std::size_t{image[2]} << 8;
    if (image.size() < 6 + l || image[3 + l] != 0x90) return layout;
    const std::size_t r = image[4 + l] | std::size_t{image[5 + l]} << 8;
    layout.areaStart = 6 + l;
    layout.areaEnd = 6 + l + r;
    layout.valid = layout.areaEnd <= image.size();
    return layout;
}

// Offset of the "RV" keyword within the area, or 0 when there is none.
std::size_t rv_offset(std::span<const uint8_t> image, const Layout& layout) {
    for (std::size_t at = layout.areaStart; at + 3 <= layout.areaEnd; at += 3u + image[at + 2]) {
        if (image[at] == 'R' && image[at + 1] == 'V') return at;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::size_t familyLength = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::string_view family(reinterpret_cast<const char*>(data + 1), familyLength);
    const std::span<const uint8_t> source(data + 1 + familyLength, size - 1 - familyLength);

    std::vector<uint32_t> words((source.size() + 3) / 4);
    if (!source.empty()) std::memcpy(words.data(), source.data(), source.size());
    const std::vector<uint32_t> before = words;

    FakeAdpm& fake = install_fake_adpm();
    FakeFunction f;
    f.handle = 7;
    f.nvram.assign(VpdNvramOffset + 4 * std::max<std::size_t>(words.size(), VpdAreaWords), 0xEE);
    fake.functions.push_back(f);

    const int result = write_nvram_family_version(fake.api, words, 7, VpdNvramOffset, family);
    FUZZ_CHECK(result == 0 || result == 1);
    for (const auto& [handle, open] : fake.diagOpen) FUZZ_CHECK(open == 0);

    const std::span<const uint8_t> image(reinterpret_cast<const uint8_t*>(words.data()),
                                         words.size() * 4);
    const std::span<const uint8_t> original(reinterpret_cast<const uint8_t*>(before.data()),
                                            before.size() * 4);
    const Layout layout = layout_of(original);
    if (result != 0) {
        FUZZ_CHECK(fake.calls_of("AdpmWriteFirmware").empty());
        return 0;
    }
    FUZZ_CHECK(layout.valid && words.size() >= VpdAreaWords);
    // Nothing outside the VPD-R area changed.
    FUZZ_CHECK(std::memcmp(image.data(), original.data(), layout.areaStart) == 0);
    FUZZ_CHECK(std::memcmp(image.data() + layout.areaEnd, original.data() + layout.areaEnd,
                           image.size() - layout.areaEnd) == 0);
    // It parses again, and the bytes up to the checksum sum to zero.
    FUZZ_CHECK(vpd_signature(image) >= 0);
    const std::size_t rv = rv_offset(image, layout);
    FUZZ_CHECK(rv != 0);
    unsigned sum = 0;
    for (std::size_t i = 0; i <= rv + 3; ++i) sum += image[i];
    FUZZ_CHECK(sum % 256 == 0);
    // What reached NVRAM is the area's 256 bytes as rewritten.
    const FakeFunction& written = fake.functions[0];
    FUZZ_CHECK(std::memcmp(written.nvram.data() + VpdNvramOffset, image.data(), VpdAreaWords * 4) ==
               0);
    return 0;
}
