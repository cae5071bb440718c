#include "adapter/inventory.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "adapter/ext_phy_record.h"
#include "adapter/function0_rules.h"
#include "adapter/installed_versions.h"
#include "adpm/adpm.h"
#include "common/file.h"
#include "common/result_code.h"
#include "common/text.h"
#include "config/config.h"
#include "vpd/vpd.h"

namespace {

constexpr int InventoryFailed = 1;

// Adapter types whose chip revision id holds a letter step in bits 8-11 and
// a digit step in bits 0-7 ("b2").
constexpr uint32_t RevisionNumberedTypes[] = {2, 4, 5};

using VersionGetter = uint32_t (*)(uint32_t, uint32_t, const FirmwareInfoRecord&, std::span<char>);

// A component's getter and the two record fields it fills.
struct ComponentFields {
    VersionGetter get;
    char (AdapterRecord::*text)[16];
    uint32_t AdapterRecord::*number;
};

// Read in this order around the creation of the external PHY record.
constexpr ComponentFields ComponentsBeforePhy[] = {
    {get_fam_ver, &AdapterRecord::familyVersionText, &AdapterRecord::familyVersion},
    {get_fw_ver, &AdapterRecord::bcVersionText, &AdapterRecord::bcVersion},
    {get_bta_ver, &AdapterRecord::btaVersionText, &AdapterRecord::btaVersion},
    {get_ncsi_ver, &AdapterRecord::ncsiVersionText, &AdapterRecord::ncsiVersion},
    {get_qmx_ver, &AdapterRecord::qmxVersionText, &AdapterRecord::qmxVersion},
};
constexpr ComponentFields ComponentsAfterPhy[] = {
    {get_ipmi_ver, &AdapterRecord::ipmiVersionText, &AdapterRecord::ipmiVersion},
    {get_iscsi_ver, &AdapterRecord::iscsiVersionText, &AdapterRecord::iscsiVersion},
    {get_uefi_ver, &AdapterRecord::uefiVersionText, &AdapterRecord::uefiVersion},
    {get_fcoe_ver, &AdapterRecord::fcoeVersionText, &AdapterRecord::fcoeVersion},
    {get_cfx_ver, &AdapterRecord::cfxVersionText, &AdapterRecord::cfxVersion},
};

// Firmware sets whose VPD names the family one step behind what they are;
// they are recognised by their iSCSI text. Only the shown text changes, so
// the comparison with the table keeps the number the VPD gave.
struct FamilyTextFixup {
    uint32_t deviceId;
    std::string_view shown;
    std::string_view corrected;
};
constexpr std::string_view FixupIscsiText = "2.7.15";
constexpr FamilyTextFixup FamilyTextFixups[] = {
    {0x7A09, "4.4.1", "4.4.2"},
    {0x7A0A, "4.4.1", "4.4.2"},
    {0x7A0B, "3.09", "3.10"},
};

void fix_family_text(AdapterRecord& record) {
    if (field_text(record.iscsiVersionText) != FixupIscsiText) return;
    for (const FamilyTextFixup& fixup : FamilyTextFixups) {
        if (record.deviceId == fixup.deviceId &&
            field_text(record.familyVersionText) == fixup.shown)
            copy_text(record.familyVersionText, fixup.corrected);
    }
}

void read_components(AdapterRecord& record, const FirmwareInfoRecord& info,
                     std::span<const ComponentFields> components) {
    for (const ComponentFields& c : components)
        record.*c.number =
            c.get(record.adapterType, record.handle, info, std::span<char>(record.*c.text));
}

void read_installed_versions(AdapterRecord& record) {
    FirmwareInfoRecord info;
    if (get_adpm_fwinfo(record.adapterType, record.handle, info) !=
        static_cast<int>(AdapterTypeHandled)) {
        // Nothing installed is known, so nothing may be programmed; the
        // adapter is still reported, with the reason.
        record.status = code_of(ResultCode::AdapterListFailed);
        return;
    }
    record.extVpd = info.extVpd;
    read_components(record, info, ComponentsBeforePhy);
    record.extPhy = createExtPhyFwr(info, *record.config);
    read_components(record, info, ComponentsAfterPhy);
    fix_family_text(record);
    fixup_config_entry(record.config);
}

PhyNicRecord blank_phy_nic() {
    PhyNicRecord nic{};
    nic.version = PhyNicRecordVersion;
    return nic;
}

void copy_identity(const PhyNicRecord& nic, AdapterRecord& record) {
    record.config = nullptr;
    record.vendorId = nic.vendorId;
    record.deviceId = nic.deviceId;
    record.subVendorId = nic.subVendorId;
    record.subDeviceId = nic.subDeviceId;
    record.bus = nic.bus;
    record.device = nic.device;
    record.function = nic.function;
    copy_text(record.description, field_text(nic.description));
}

bool note_enabled(std::string_view serviceName) {
    File note = open_output_file(EnabledNoteName, OutputMode::Append);
    if (!note) return false;
    const bool written = std::fprintf(note.get(), "%.*s\n", static_cast<int>(serviceName.size()),
                                      serviceName.data()) > 0;
    return close_output_file(std::move(note)) && written;
}

void select_for_run(uint32_t handle, AdapterRecord& record, std::string_view skipText,
                    Enabling enabling) {
    record.adapterType = AdapterTypeHandled;
    record.selected = skipped(record, skipText) ? 0 : 1;
    if (record.selected == 0 || record.wasEnabled != 0 || enabling == Enabling::LeaveAsIs) return;
    // An adapter that cannot be noted is not enabled: a run killed later
    // would leave it on the network for good.
    if (!note_enabled(field_text(record.serviceName))) {
        record.selected = 0;
        return;
    }
    const uint32_t result = Adpm.AdpmEnableDevice(handle, 1);
    if (result != AdpmSuccess && result != AdpmEnableAlreadyOn) record.selected = 0;
}

// First pass: identity and selection. False when a library call fails.
bool identify(uint32_t handle, AdapterRecord& record, std::string_view skipText,
              Enabling enabling) {
    PhyNicRecord nic = blank_phy_nic();
    if (Adpm.AdpmGetPhyNic(handle, &nic) != AdpmSuccess) return false;
    copy_identity(nic, record);
    if (Adpm.AdpmGetServiceName(handle, record.serviceName, sizeof record.serviceName) !=
        AdpmSuccess)
        return false;
    record.serviceName[sizeof record.serviceName - 1] = '\0';
    record.wasEnabled = nic.enabled;
    if (nic.adapterType == AdapterTypeHandled) select_for_run(handle, record, skipText, enabling);
    return true;
}

AdapterIdentity identity_of(const AdapterRecord& record) {
    return {record.vendorId, record.deviceId, record.subVendorId, record.subDeviceId,
            field_text(record.chipRevText)};
}

// Second pass, for a selected adapter whose handle is current again.
bool describe(AdapterRecord& record, ConfigEntry* configList) {
    PhyNicRecord nic = blank_phy_nic();
    NicInfoExRecord info{};
    info.version = NicInfoExRecordVersion;
    if (Adpm.AdpmGetPhyNic(record.handle, &nic) != AdpmSuccess ||
        Adpm.AdpmGetVXLRNicInfoEx(record.handle, &info) != AdpmSuccess)
        return false;
    const uint8_t* mac = info.mac;
    std::snprintf(record.macText, sizeof record.macText, "%02x%02x%02x%02x%02x%02x",
                  unsigned{mac[0]}, unsigned{mac[1]}, unsigned{mac[2]}, unsigned{mac[3]},
                  unsigned{mac[4]}, unsigned{mac[5]});
    record.chipRev = get_chip_rev(record.adapterType, info.chipRevisionId);
    std::snprintf(record.chipRevText, sizeof record.chipRevText, "%02x", record.chipRev);
    record.config = find_config(identity_of(record), configList);
    if (record.config != nullptr) read_installed_versions(record);
    return true;
}

}  // namespace

int get_device_info(std::span<AdapterRecord> records, ConfigEntry* configList, const char* skipText,
                    Enabling enabling) {
    const auto count = static_cast<uint32_t>(records.size());
    std::vector<uint32_t> handles;
    try {
        handles.resize(count);
    } catch (const std::bad_alloc&) {
        return InventoryFailed;
    }
    if (Adpm.AdpmGetAllPhyNicHandles(handles.data(), count) != AdpmSuccess) return InventoryFailed;

    const std::string_view skip = skipText != nullptr ? skipText : "";
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!identify(handles[i], records[i], skip, enabling)) return InventoryFailed;

    // Handles may change here; from now on each is found again by its
    // service name, which the refresh leaves alone.
    if (Adpm.AdpmRefreshData() != AdpmSuccess) return InventoryFailed;
    for (AdapterRecord& record : records) {
        if (Adpm.AdpmGetHandleByServiceName(record.serviceName, &record.handle) != AdpmSuccess)
            return InventoryFailed;
        if (record.selected == 0 || describe(record, configList)) continue;
        // Left disabled, a function may not answer: it is only not known.
        if (enabling == Enabling::LeaveAsIs && record.wasEnabled == 0) continue;
        return InventoryFailed;
    }
    return 0;
}

uint32_t get_chip_rev(uint32_t adapterType, uint32_t chipRevisionId) {
    if (std::ranges::find(RevisionNumberedTypes, adapterType) == std::end(RevisionNumberedTypes))
        return 0;
    const uint32_t letter = (chipRevisionId >> 8) & 0xF;
    const uint32_t digit = chipRevisionId & 0xFF;
    return (letter <= 5 ? 0xA0 + 16 * letter : 0) + (digit <= 9 ? digit : 0);
}

namespace {

// Far more than the service names of any server.
constexpr std::size_t EnabledNoteLimit = 1 << 20;

std::vector<std::string> noted_enabled() {
    std::vector<std::string> names;
    const std::optional<std::string> note = read_own_file(EnabledNoteName, EnabledNoteLimit);
    if (!note) return names;
    for (std::string_view rest = *note; !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        names.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return names;
}

// Enabled by this run, or found enabled after an earlier run noted that it
// enabled it. One whose enabling failed was never on.
bool enabled_by_utility(const AdapterRecord& record, const std::vector<std::string>& noted) {
    if (record.wasEnabled == 0) return record.selected != 0;
    return std::ranges::find(noted, field_text(record.serviceName)) != noted.end();
}

void forget_enabled() {
    unlink(EnabledNoteName);
}

}  // namespace

void restore_device_state(std::span<AdapterRecord> records) {
    const std::vector<std::string> noted = noted_enabled();
    for (const AdapterRecord& record : records)
        if (enabled_by_utility(record, noted)) Adpm.AdpmEnableDevice(record.handle, 0);
    forget_enabled();
}

// Every adapter the utility enabled was noted first, this run's too; the
// records may end before some of them.
void restore_device_state_by_name() {
    for (const std::string& name : noted_enabled()) {
        uint32_t handle = 0;
        if (Adpm.AdpmGetHandleByServiceName(name.c_str(), &handle) == AdpmSuccess)
            Adpm.AdpmEnableDevice(handle, 0);
    }
    forget_enabled();
}
