// Stand-ins for what names one customer's hardware: MAC addresses and the
// VPD's serial numbers. A stand-in keeps the length of what it replaces, so
// every VPD keeps its layout, and the same value gets the same stand-in
// wherever it stands.
#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "vpd/vpd.h"
#include "vpd/vpd_image.h"

namespace {

using Mac = std::array<uint8_t, 6>;

class StandIns {
  public:
    // Locally administered addresses, numbered in the order first met.
    Mac mac(const Mac& real) {
        const auto n = static_cast<uint32_t>(macs_.size() + 1);
        return macs_
            .try_emplace(real, Mac{0x0a, 0, 0, static_cast<uint8_t>(n >> 16),
                                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)})
            .first->second;
    }
    const std::map<Mac, Mac>& macs() const { return macs_; }

    // "S" and a number, zero-padded to the serial's own length.
    std::string serial(const std::string& real) {
        const std::string number = std::to_string(serials_.size() + 1);
        std::string standIn(real.size(), '0');
        if (!standIn.empty()) standIn[0] = 'S';
        const std::size_t digits =
            std::min(number.size(), standIn.size() > 0 ? standIn.size() - 1 : 0);
        std::copy(number.end() - static_cast<std::ptrdiff_t>(digits), number.end(),
                  standIn.end() - static_cast<std::ptrdiff_t>(digits));
        return serials_.try_emplace(real, standIn).first->second;
    }

  private:
    std::map<Mac, Mac> macs_;
    std::map<std::string, std::string> serials_;
};

void replace_all(std::span<uint8_t> bytes, const Mac& from, const Mac& to) {
    for (auto at = bytes.begin();
         (at = std::search(at, bytes.end(), from.begin(), from.end())) != bytes.end();)
        at = std::copy(to.begin(), to.end(), at);
}

struct SerialAt {
    std::size_t at;
    std::string data;
};

// The serial-number keywords before the checksum, and where the checksum is.
std::vector<SerialAt> serials_of(std::span<const uint8_t> vpd,
                                 std::optional<std::size_t>& checksumAt) {
    std::vector<SerialAt> serials;
    walk_vpd_keywords(vpd, [&](const VpdKeywordAt& k) -> std::optional<int> {
        if (k.name == "SN")
            serials.push_back({k.offset + VpdKeywordHeaderSize, std::string(k.data)});
        if (k.name != "RV") return std::nullopt;
        if (!k.data.empty()) checksumAt = k.offset + VpdKeywordHeaderSize;
        return 0;
    });
    return serials;
}

// The checksum moves by what the stand-ins moved, so a right one stays
// right and a wrong one stays as wrong as the server has it.
void replace_serials(std::span<uint8_t> vpd, StandIns& standIns) {
    std::optional<std::size_t> checksumAt;
    const std::vector<SerialAt> serials = serials_of(vpd, checksumAt);
    int moved = 0;
    for (const SerialAt& s : serials) {
        const std::string standIn = standIns.serial(s.data);
        for (std::size_t i = 0; i < standIn.size(); ++i) {
            moved += static_cast<uint8_t>(standIn[i]) - vpd[s.at + i];
            vpd[s.at + i] = static_cast<uint8_t>(standIn[i]);
        }
    }
    if (checksumAt) vpd[*checksumAt] = static_cast<uint8_t>(vpd[*checksumAt] - moved);
}

void anonymize_images(AdapterCapture& a, StandIns& standIns) {
    constexpr Mac None{};
    for (std::vector<uint8_t>* image : {&a.vpd, &a.extVpd, &a.nvram})
        for (const auto& [real, standIn] : standIns.macs())
            if (real != None) replace_all(*image, real, standIn);
    replace_serials(a.vpd, standIns);
    replace_serials(a.extVpd, standIns);
    if (a.nvram.size() > VpdNvramOffset)
        replace_serials(std::span(a.nvram).subspan(VpdNvramOffset), standIns);
}

}  // namespace

void anonymize(Capture& capture) {
    StandIns standIns;
    for (FunctionCapture& f : capture.functions) {
        if (f.infoResult != AdpmSuccess) continue;
        Mac real;
        std::copy(std::begin(f.info.mac), std::end(f.info.mac), real.begin());
        const Mac standIn = standIns.mac(real);
        std::copy(standIn.begin(), standIn.end(), std::begin(f.info.mac));
    }
    for (AdapterCapture& a : capture.adapters) anonymize_images(a, standIns);
    capture.anonymized = true;
}
