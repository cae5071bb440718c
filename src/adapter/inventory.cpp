#include "adapter/inventory.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "adapter/enabled_note.h"
#include "adapter/ext_phy_record.h"
#include "adapter/function0_rules.h"
#include "adapter/installed_versions.h"
#include "adpm/adpm.h"
#include "common/result_code.h"
#include "common/text.h"
#include "config/config.h"
#include "vpd/vpd.h"

namespace {

constexpr int InventoryFailed = 1;

// Adapter types whose chip revision id holds a letter step in bits 8-11 and
// a digit step in bits 0-7 ("b2").
constexpr uint32_t RevisionNumberedTypes[] = {2, 4, 5};

// A component's installed version and the two record fields it fills.
struct InstalledComponent {
    InstalledForm form;
    char (AdapterRecord::*text)[16];
    uint32_t AdapterRecord::*number;
};

#define BOOTCODE_WORD               \
    InstalledForm {                 \
        InstalledForm::BootcodeWord \
    }
#define NOT_REPORTED               \
    InstalledForm {                \
        InstalledForm::NotReported \
    }
#define INFO_TEXT(field)                                             \
    InstalledForm {                                                  \
        InstalledForm::InfoText, offsetof(FirmwareInfoRecord, field) \
    }
#define QIK_INSTALLED_COMPONENT(key, column, alias, title, option, step, installed) \
    {installed, &AdapterRecord::key##VersionText, &AdapterRecord::key##Version},
constexpr InstalledComponent InstalledComponents[] = {QIK_COMPONENTS(QIK_INSTALLED_COMPONENT)};
#undef QIK_INSTALLED_COMPONENT
#undef INFO_TEXT
#undef NOT_REPORTED
#undef BOOTCODE_WORD

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
    if (field_text(record.iscsibVersionText) != FixupIscsiText) return;
    for (const FamilyTextFixup& fixup : FamilyTextFixups) {
        if (record.deviceId == fixup.deviceId &&
            field_text(record.familyVersionText) == fixup.shown)
            copy_text(record.familyVersionText, fixup.corrected);
    }
}

void read_components(AdapterRecord& record, const FirmwareInfoRecord& info) {
    for (const InstalledComponent& c : InstalledComponents)
        record.*c.number = read_installed_version(c.form, info, record.*c.text);
}

void read_installed_versions(const AdpmApi& adpm, AdapterRecord& record) {
    FirmwareInfoRecord info;
    if (!read_firmware_info(adpm, record.handle, info)) {
        // Nothing installed is known, so nothing may be programmed; the
        // adapter is still reported, with the reason.
        record.status = code_of(ResultCode::AdapterListFailed);
        return;
    }
    record.extVpd = info.extVpd;
    record.familyVersion = read_installed_family_version(adpm, record.handle, info,
                                                         std::span<char>(record.familyVersionText));
    record.extPhy = make_ext_phy_record(info, *record.config);
    read_components(record, info);
    fix_family_text(record);
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

// The function's MAC digits and chip revision id; false when the library
// does not answer.
bool read_nic_info(const AdpmApi& adpm, uint32_t handle, NicInfoExRecord& info) {
    info = NicInfoExRecord{};
    info.version = NicInfoExRecordVersion;
    return adpm.AdpmGetVXLRNicInfoEx(handle, &info) == AdpmSuccess;
}

// The 12 lower-case hex digits the tool knows the function by.
std::string mac_text(const NicInfoExRecord& info) {
    const uint8_t* mac = info.mac;
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", unsigned{mac[0]}, unsigned{mac[1]},
                  unsigned{mac[2]}, unsigned{mac[3]}, unsigned{mac[4]}, unsigned{mac[5]});
    return text;
}

// Enables a disabled function of the run once its MAC is known and it is
// noted. False when a library call of the inventory fails.
bool enable_for_run(const AdpmApi& adpm, const WorkingDirectory& directory, uint32_t handle,
                    AdapterRecord& record) {
    NicInfoExRecord info;
    if (!read_nic_info(adpm, handle, info)) return false;
    copy_text(record.macText, mac_text(info));
    // A port that cannot be noted is not enabled: a run killed later would
    // leave it on the network for good.
    if (!note_enabled(directory, field_text(record.macText), field_text(record.serviceName))) {
        std::fprintf(stderr,
                     "qik_programmer: %s stays disabled and out of the run: %s cannot be "
                     "written\n",
                     printable(field_text(record.serviceName)).c_str(), EnabledNoteName);
        record.selected = 0;
        return true;
    }
    record.enableAsked = 1;
    const uint32_t result = adpm.AdpmEnableDevice(handle, 1);
    if (result != AdpmSuccess && result != AdpmEnableAlreadyOn) record.selected = 0;
    return true;
}

// False when a library call fails.
bool select_for_run(const AdpmApi& adpm, const WorkingDirectory& directory, uint32_t handle,
                    AdapterRecord& record, std::string_view skipText, Enabling enabling) {
    record.adapterType = AdapterTypeHandled;
    record.selected = skipped(record, skipText) ? 0 : 1;
    if (record.selected == 0 || record.wasEnabled != 0 || enabling == Enabling::LeaveAsIs)
        return true;
    return enable_for_run(adpm, directory, handle, record);
}

// First pass: identity and selection. False when a library call fails.
bool identify(const AdpmApi& adpm, const WorkingDirectory& directory, uint32_t handle,
              AdapterRecord& record, std::string_view skipText, Enabling enabling) {
    PhyNicRecord nic = blank_phy_nic();
    if (adpm.AdpmGetPhyNic(handle, &nic) != AdpmSuccess) return false;
    copy_identity(nic, record);
    if (adpm.AdpmGetServiceName(handle, record.serviceName, sizeof record.serviceName) !=
        AdpmSuccess)
        return false;
    record.serviceName[sizeof record.serviceName - 1] = '\0';
    record.wasEnabled = nic.enabled;
    return nic.adapterType != AdapterTypeHandled ||
           select_for_run(adpm, directory, handle, record, skipText, enabling);
}

AdapterIdentity identity_of(const AdapterRecord& record) {
    return {record.vendorId, record.deviceId, record.subVendorId, record.subDeviceId,
            field_text(record.chipRevText)};
}

// Second pass, for a selected adapter whose handle is current again.
bool describe(const AdpmApi& adpm, AdapterRecord& record, ConfigEntry* configList) {
    PhyNicRecord nic = blank_phy_nic();
    NicInfoExRecord info;
    if (adpm.AdpmGetPhyNic(record.handle, &nic) != AdpmSuccess ||
        !read_nic_info(adpm, record.handle, info))
        return false;
    copy_text(record.macText, mac_text(info));
    record.chipRev = chip_revision(record.adapterType, info.chipRevisionId);
    std::snprintf(record.chipRevText, sizeof record.chipRevText, "%02x", record.chipRev);
    record.config = find_config(identity_of(record), configList);
    if (record.config != nullptr) read_installed_versions(adpm, record);
    return true;
}

}  // namespace

int take_inventory(const AdpmApi& adpm, const WorkingDirectory& directory,
                   std::span<AdapterRecord> records, ConfigEntry* configList, const char* skipText,
                   Enabling enabling) {
    const auto count = static_cast<uint32_t>(records.size());
    std::vector<uint32_t> handles;
    try {
        handles.resize(count);
    } catch (const std::bad_alloc&) {
        return InventoryFailed;
    }
    if (adpm.AdpmGetAllPhyNicHandles(handles.data(), count) != AdpmSuccess) return InventoryFailed;

    const std::string_view skip = skipText != nullptr ? skipText : "";
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!identify(adpm, directory, handles[i], records[i], skip, enabling))
            return InventoryFailed;

    // Handles may change here; from now on each is found again by its
    // service name, which the refresh leaves alone.
    if (adpm.AdpmRefreshData() != AdpmSuccess) return InventoryFailed;
    for (AdapterRecord& record : records) {
        if (adpm.AdpmGetHandleByServiceName(record.serviceName, &record.handle) != AdpmSuccess)
            return InventoryFailed;
        if (record.selected == 0 || describe(adpm, record, configList)) continue;
        // Left disabled, a function may not answer: it is only not known.
        if (enabling == Enabling::LeaveAsIs && record.wasEnabled == 0) continue;
        return InventoryFailed;
    }
    return 0;
}

std::optional<std::string> read_mac(const AdpmApi& adpm, uint32_t handle) {
    NicInfoExRecord info;
    if (!read_nic_info(adpm, handle, info)) return std::nullopt;
    return mac_text(info);
}

void read_through_function0(AdapterRecord& r, const AdapterRecord& function0) {
    copy_text(r.familyVersionText, field_text(function0.familyVersionText));
    r.familyVersion = function0.familyVersion;
    for (const InstalledComponent& c : InstalledComponents) {
        copy_text(r.*c.text, field_text(function0.*c.text));
        r.*c.number = function0.*c.number;
    }
    r.extVpd = function0.extVpd;
    r.extPhy.reset();
    if (function0.extPhy != nullptr && names_phy_image(*r.config)) {
        r.extPhy = std::make_unique<ExtPhyFirmware>(*function0.extPhy);
        take_phy_target(*r.extPhy, *r.config);
    }
    r.status = 0;
}

uint32_t chip_revision(uint32_t adapterType, uint32_t chipRevisionId) {
    if (std::ranges::find(RevisionNumberedTypes, adapterType) == std::end(RevisionNumberedTypes))
        return 0;
    const uint32_t letter = (chipRevisionId >> 8) & 0xF;
    const uint32_t digit = chipRevisionId & 0xFF;
    return (letter <= 5 ? 0xA0 + 16 * letter : 0) + (digit <= 9 ? digit : 0);
}
