#include "bench.h"

namespace sim {

const ComponentSlot* find_component(std::string_view component) {
    static const ComponentSlot slots[] = {
        {"bc", "bootcode"}, {"bta", "bta"},       {"uefi", "uefi"},     {"ncsi", "ncsi"},
        {"ipmi", "ipmi"},   {"qmx", "qmx"},       {"extphy", "extPhy"}, {"iscsib", "iscsi"},
        {"fcoeb", "fcoe"},  {"cfx", "cfx"},
    };
    for (const ComponentSlot& slot : slots)
        if (component == slot.component) return &slot;
    return nullptr;
}

void Bench::index(json& root) {
    root_ = &root;
    functions_.clear();
    byHandle_.clear();
    byHandleAfterRefresh_.clear();
    byServiceName_.clear();
    byMac_.clear();
    nvram_.clear();
    extVpd_.clear();
    if (!root.contains("adapters")) root["adapters"] = json::object();
    if (!root.contains("functions")) root["functions"] = json::array();
    if (!root["adapters"].is_object()) fail_at("adapters", "expected an object of named adapters");
    if (!root["functions"].is_array()) fail_at("functions", "expected a list");
    json& functions = root["functions"];
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const std::string where = "functions[" + std::to_string(i) + "]";
        json& f = functions[i];
        if (!f.is_object()) fail_at(where, "expected an object");
        Function fn;
        fn.adapter = get_text(f, "adapter", "", where);
        if (!root["adapters"].contains(fn.adapter))
            fail_at(where + ".adapter", "\"" + fn.adapter + "\" is not one of \"adapters\"");
        fn.serviceName = get_text(f, "serviceName", "", where);
        fn.handle = get_u32(f, "handle", static_cast<uint32_t>(i + 1), where);
        fn.handleAfterRefresh = get_u32(f, "handleAfterRefresh", 0, where);
        const std::string mac = get_text(f, "mac", "", where);
        fn.mac = mac.empty() ? default_mac(i) : mac_text(parse_mac(mac, where + ".mac"));
        fn.where = where;
        fn.adapterWhere = "adapters." + fn.adapter;
        fn.value = &f;
        fn.adapterValue = &root["adapters"][fn.adapter];
        // The first function keeps a handle, name or MAC that several share.
        byHandle_.emplace(fn.handle, i);
        byHandleAfterRefresh_.emplace(fn.handleAfterRefresh != 0 ? fn.handleAfterRefresh : fn.handle, i);
        byServiceName_.emplace(fn.serviceName, i);
        byMac_.emplace(fn.mac, i);
        functions_.push_back(std::move(fn));
    }
}

uint32_t Bench::u32(std::size_t i, const char* key, uint32_t fallback) {
    const json& f = function(i);
    if (f.contains(key)) return get_u32(f, key, fallback, functions_[i].where);
    return get_u32(adapter_of(i), key, fallback, functions_[i].adapterWhere);
}

std::string Bench::text(std::size_t i, const char* key, const std::string& fallback) {
    const json& f = function(i);
    if (f.contains(key)) return get_text(f, key, fallback, functions_[i].where);
    return get_text(adapter_of(i), key, fallback, functions_[i].adapterWhere);
}

namespace {

template <typename Key>
std::optional<std::size_t> find_in(const std::unordered_map<Key, std::size_t>& index, const Key& key) {
    const auto it = index.find(key);
    if (it == index.end()) return std::nullopt;
    return it->second;
}

}  // namespace

std::optional<std::size_t> Bench::by_handle(uint32_t h, bool refreshed) const {
    return find_in(refreshed ? byHandleAfterRefresh_ : byHandle_, h);
}

std::optional<std::size_t> Bench::by_service_name(std::string_view name) const {
    return find_in(byServiceName_, std::string(name));
}

std::optional<std::size_t> Bench::by_mac(std::string_view mac) const {
    return find_in(byMac_, std::string(mac));
}

std::vector<uint8_t>& Bench::nvram(const std::string& name) {
    auto it = nvram_.find(name);
    if (it == nvram_.end()) {
        const json& a = adapter(name);
        const json value = a.contains("nvram") ? a["nvram"] : json();
        it = nvram_.emplace(name, decode_bytes(value, DefaultNvramSize, VpdOffset,
                                               "adapters." + name + ".nvram"))
                 .first;
    }
    return it->second;
}

std::vector<uint8_t>* Bench::ext_vpd(const std::string& name) {
    auto it = extVpd_.find(name);
    if (it == extVpd_.end()) {
        const json& a = adapter(name);
        std::optional<std::vector<uint8_t>> blob;
        if (a.contains("extVpd") && !a["extVpd"].is_null())
            blob = decode_bytes(a["extVpd"], 0, 0, "adapters." + name + ".extVpd");
        it = extVpd_.emplace(name, std::move(blob)).first;
    }
    return it->second ? &*it->second : nullptr;
}

void Bench::store_nvram(const std::string& name) { adapter(name)["nvram"] = encode_bytes(nvram(name)); }

void Bench::store_ext_vpd(const std::string& name) {
    if (std::vector<uint8_t>* blob = ext_vpd(name)) adapter(name)["extVpd"] = to_hex(blob->data(), blob->size());
}

}  // namespace sim
