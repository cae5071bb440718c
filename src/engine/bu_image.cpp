#include <sys/stat.h>

#include <cstdio>

#include "common/text.h"
#include "engine/engine.h"

namespace {

// Read access goes first, so a backup that cannot be removed no longer hands
// out the adapter's NVRAM.
void remove_backup(BuImage& image) {
    chmod(image.name, 0220);
    std::remove(image.name);
    image.present = 0;
}

// The tool's codes for a backup file it cannot create: no adapter can be
// programmed safely then, so the run stops.
bool backup_file_impossible(int code) {
    return code == 10 || code == 11;
}

int run_backup_command(const BuImage& image, const AdapterRecord& record, const char* option) {
    return program_device(record.macText, record.adapterType, option, image.name, record.deviceId,
                          0);
}

}  // namespace

void buImageInitialize(BuImage& image) {
    image = BuImage{};
    copy_text(image.name, BuImageName);
}

int buImageMake(BuImage& image, const AdapterRecord& record) {
    if (image.present == 1) remove_backup(image);
    if (run_backup_command(image, record, "dump_nvram") != ToolSuccess)
        return backup_file_impossible(ErrorCode_FirmwareUpgrade) ? RunAbandoned : ToolError;
    image.present = 1;
    return ToolSuccess;
}

int buImageRestore(BuImage& image, const AdapterRecord& record) {
    if (image.present != 1) return ToolSuccess;
    return run_backup_command(image, record, "restore_nvram") == ToolSuccess ? ToolSuccess
                                                                             : ToolError;
}

void buImageDelete(BuImage& image) {
    if (image.present == 1) remove_backup(image);
}
