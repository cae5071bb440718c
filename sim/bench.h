// The simulated bench: one described server in a JSON state file that the
// simulated management library and the simulated programming tool share.
// docs/bench.md describes the file. This header indexes the server it
// describes, and brings in what both sides use to read it, change it and
// write it back: values, byte images, VPD images, the state file, faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "byte_images.h"
#include "faults.h"
#include "state_file.h"
#include "values.h"
#include "vpd_builder.h"

namespace sim {

inline constexpr std::size_t DefaultNvramSize = 4096;
// Where an NVRAM image holds its VPD.
inline constexpr std::size_t VpdOffset = 0x100;

// Component names as the bench, the image files and the firmware section use them.
// "bootcode" is the 16-bit word; the others are version texts.
struct ComponentSlot {
    const char* component;  // name in an image file
    const char* field;      // key in an adapter's "firmware" object
};
// bc->bootcode, bta->bta, uefi->uefi, ncsi->ncsi, ipmi->ipmi, qmx->qmx,
// extphy->extPhy, iscsib->iscsi, fcoeb->fcoe, cfx->cfx. Null when unknown.
const ComponentSlot* find_component(std::string_view component);

// Index over the state: the functions in order, each function's adapter.
// Built again whenever the state is re-read.
class Bench {
public:
    // Checks the state and builds the index; throws BenchError.
    void index(json& root);

    std::size_t function_count() const { return functions_.size(); }
    json& function(std::size_t i) { return *functions_[i].value; }
    json& adapter_of(std::size_t i) { return *functions_[i].adapterValue; }
    const std::string& adapter_name(std::size_t i) const { return functions_[i].adapter; }
    json& adapter(const std::string& name) { return (*root_)["adapters"][name]; }

    const std::string& service_name(std::size_t i) const { return functions_[i].serviceName; }
    const std::string& mac(std::size_t i) const { return functions_[i].mac; }
    uint32_t handle(std::size_t i, bool refreshed) const {
        const auto& f = functions_[i];
        return refreshed && f.handleAfterRefresh != 0 ? f.handleAfterRefresh : f.handle;
    }

    // A number of the function, or of its adapter when the function lacks it.
    uint32_t u32(std::size_t i, const char* key, uint32_t fallback);
    std::string text(std::size_t i, const char* key, const std::string& fallback);

    // The function whose current handle, service name or MAC this is.
    std::optional<std::size_t> by_handle(uint32_t handle, bool refreshed) const;
    std::optional<std::size_t> by_service_name(std::string_view name) const;
    std::optional<std::size_t> by_mac(std::string_view mac) const;

    // The adapter's NVRAM and extended VPD, decoded (cached until written or re-indexed).
    std::vector<uint8_t>& nvram(const std::string& adapter);
    // Null when the adapter has no extended VPD blob.
    std::vector<uint8_t>* ext_vpd(const std::string& adapter);
    // Puts the cached images of `adapter` back into the JSON state.
    void store_nvram(const std::string& adapter);
    void store_ext_vpd(const std::string& adapter);

private:
    struct Function {
        std::string adapter;
        std::string serviceName;
        std::string mac;
        uint32_t handle = 0;
        uint32_t handleAfterRefresh = 0;
        // Where its values and its adapter's are, as problems name them.
        std::string where;
        std::string adapterWhere;
        // Its object and its adapter's in the state: calls change members of
        // these, never the lists that hold them, so they stay until re-indexed.
        json* value = nullptr;
        json* adapterValue = nullptr;
    };
    json* root_ = nullptr;
    std::vector<Function> functions_;
    // Every call finds its function by one of these.
    std::unordered_map<uint32_t, std::size_t> byHandle_;
    std::unordered_map<uint32_t, std::size_t> byHandleAfterRefresh_;
    std::unordered_map<std::string, std::size_t> byServiceName_;
    std::unordered_map<std::string, std::size_t> byMac_;
    std::map<std::string, std::vector<uint8_t>> nvram_;
    std::map<std::string, std::optional<std::vector<uint8_t>>> extVpd_;
};

}  // namespace sim
