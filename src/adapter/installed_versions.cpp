#include "adapter/installed_versions.h"

int get_adpm_fwinfo(uint32_t, uint32_t, FirmwareInfoRecord&) { return -1; }
uint32_t version_str_to_no(std::string_view, std::span<char>) { return 0; }
