// The capture's writer over arbitrary records: whatever a library answered,
// anonymized or not, the bench file it gives is JSON, and every function in
// it names an adapter the file describes.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "capture/capture.h"
#include "fuzz_check.h"

namespace {

// The input, taken from the front; zeros once it runs out.
class Bytes {
  public:
    explicit Bytes(std::span<const uint8_t> data) : data_(data) {}

    template <typename T>
    void fill(T& value) {
        auto* out = reinterpret_cast<uint8_t*>(&value);
        const std::size_t n = std::min(sizeof value, data_.size());
        std::memset(out, 0, sizeof value);
        std::memcpy(out, data_.data(), n);
        data_ = data_.subspan(n);
    }
    uint32_t u32() {
        uint32_t value;
        fill(value);
        return value;
    }
    uint8_t u8() {
        uint8_t value;
        fill(value);
        return value;
    }
    // A length-prefixed run of bytes.
    std::vector<uint8_t> run() {
        const uint32_t wanted = u32() % 2048;
        const std::size_t n = std::min<std::size_t>(wanted, data_.size());
        std::vector<uint8_t> bytes(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(n));
        data_ = data_.subspan(n);
        return bytes;
    }

  private:
    std::span<const uint8_t> data_;
};

// Small results: success, failures, and the codes the writer reads apart.
uint32_t result(Bytes& in) {
    const uint8_t r = in.u8();
    return r < 128 ? AdpmSuccess : r % 16;
}

FunctionCapture function(Bytes& in) {
    FunctionCapture f;
    f.handle = in.u32();
    f.nameResult = result(in);
    in.fill(f.serviceName);
    f.phyNicResult = result(in);
    in.fill(f.phyNic);
    f.phyNic.bus %= 4;  // so that functions share adapters
    f.phyNic.device %= 2;
    f.infoResult = result(in);
    in.fill(f.info);
    return f;
}

void adapter(AdapterCapture& a, Bytes& in, bool withNvram) {
    if (in.u8() % 4 != 0) a.readThrough = a.functions.front();
    a.firmwareResult = result(in);
    in.fill(a.firmware);
    a.extVpdResult = result(in);
    a.extVpdClaimed = in.u32();
    a.extVpd = in.run();
    a.vpdResult = result(in);
    a.vpd = in.run();
    a.nvramSize = in.u32() % 8192;
    if (!withNvram) return;
    a.probeExit = in.u8();
    a.dumpExit = in.u8();
    a.nvram = in.run();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(std::span(data, size));
    Capture capture;
    const uint8_t flags = in.u8();
    capture.withNvram = (flags & 1) != 0;
    capture.initResult = (flags & 2) != 0 ? 1 : AdpmSuccess;
    capture.major = in.u32();
    capture.count = in.u32();
    for (uint8_t n = in.u8() % 6; n > 0; --n) capture.functions.push_back(function(in));
    capture.adapters = group_functions(capture.functions);
    for (AdapterCapture& a : capture.adapters) adapter(a, in, capture.withNvram);
    if ((flags & 4) != 0) anonymize(capture);

    const BenchText bench = write_bench(capture);
    const nlohmann::json root = nlohmann::json::parse(bench.json);  // throws: a crash
    FUZZ_CHECK(root["functions"].size() == capture.functions.size());
    for (const nlohmann::json& f : root["functions"])
        FUZZ_CHECK(root["adapters"].contains(f["adapter"].get<std::string>()));
    return 0;
}
