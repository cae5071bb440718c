#include "vpd/vpd.h"

std::optional<VpdBuffer> GetVPDBuff(uint32_t, uint32_t, uint32_t) { return std::nullopt; }
int RegExFamVerValidation(std::string_view) { return 1; }
int chkOrvaSig(std::span<const uint8_t>) { return -1; }
int GetVpdFamVer(std::span<const uint8_t>) { return -1; }
int ProcessVPDReturn(std::span<const uint8_t>, int&, int&, int&, std::span<char>) { return 1; }
uint32_t get_fam_ver(uint32_t, uint32_t, const FirmwareInfoRecord&, std::span<char>) { return 0; }
