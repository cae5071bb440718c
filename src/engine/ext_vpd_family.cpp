#include "engine/ext_vpd_family.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/file.h"
#include "vpd/vpd.h"
#include "vpd/vpd_image.h"

namespace {

constexpr std::size_t TemplateLineSize = 300;
constexpr std::size_t FamilyTextInTemplate = 10;

bool is_family_line(std::string_view line) {
    return line.find("V0") != std::string_view::npos &&
           line.find(VpdFamilyPrefix) != std::string_view::npos;
}

// Copies the template, the family line replaced. The tool has always been
// handed the file in this form: one blank follows a last line that ends in a
// newline, and a template without a final newline ends with its last line.
bool write_vpd_update(std::FILE* in, std::FILE* out, std::string_view family) {
    char line[TemplateLineSize];
    const char* pending = "";
    bool ok = true;
    while (ok) {
        if (std::fgets(line, TemplateLineSize, in) == nullptr) {
            if (std::ferror(in) == 0) ok = std::fputs(pending, out) >= 0;
            break;
        }
        if (is_family_line(line))
            std::snprintf(line, TemplateLineSize, "V0=Text,\"FFV%.*s\"\n",
                          static_cast<int>(std::min(family.size(), FamilyTextInTemplate)),
                          family.data());
        ok = std::fputs(line, out) >= 0;
        pending = " ";
        if (std::feof(in) != 0) break;
    }
    return ok;
}

// Cuts the file where writing ended and closes it; false when either fails.
bool finish_rewrite(File file) {
    const bool flushed = std::fflush(file.get()) == 0;
    const long length = flushed ? std::ftell(file.get()) : -1;
    const bool cut = length >= 0 && ftruncate(fileno(file.get()), static_cast<off_t>(length)) == 0;
    return close_output_file(std::move(file)) && cut;
}

// False when the generated file could not be made whole. Without a template
// it is left empty. The file is made once per adapter: an existing one is
// written over and cut to its new length instead of being truncated first,
// as ext4 commits the blocks of a file written again after a truncation when
// it is closed, which cost more than all else the utility does for the
// adapter.
bool make_vpd_update_file(const WorkingDirectory& directory, const char* templatePath,
                          std::string_view family) {
    const File in = directory.open_input(templatePath);
    File out = directory.open_output(VpdUpdateFileName, OutputMode::Rewrite);
    if (!out) return false;
    const bool written = in && write_vpd_update(in.get(), out.get(), family);
    return finish_rewrite(std::move(out)) && written;
}

}  // namespace

int FamilyWriter::not_written() const {
    std::fprintf(diagnostics, "%s\n", VpdFailedMessage);
    return FamilyNotWritten;
}

int FamilyWriter::write_from_template(const char* adapterId, uint32_t adapterType,
                                      std::string_view familyText, const char* templatePath,
                                      bool force) const {
    // Either failure leaves the old family version in the VPD; reporting
    // success would hide that until the next run reads it back.
    if (!make_vpd_update_file(directory, templatePath, familyText)) return not_written();
    const int result = tools
                           .program(adapterId, adapterType, FamilyTemplateOption, VpdUpdateFileName,
                                    NoInstalledVersion, force)
                           .result;
    const bool passedOn =
        result == ToolSuccess || result == ToolWriteProtect || result == ToolDriverNotSupported;
    return passedOn ? result : FamilyNotWritten;
}
