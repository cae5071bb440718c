// The simulated bench: one described server in a JSON state file that the
// simulated management library and the simulated programming tool share.
// docs/bench.md describes the file; this header is the code both sides use
// to read it, change it and write it back.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::json;

// Files in the working directory.
inline constexpr const char* BenchFileName = "bench.json";
inline constexpr const char* LibraryTraceName = "adpm_trace.txt";
inline constexpr const char* ToolLogName = "nicflsh_log.txt";

inline constexpr std::size_t DefaultNvramSize = 4096;
inline constexpr std::size_t VpdOffset = 0x100;
inline constexpr std::size_t VpdAreaSize = 256;

// A bench file that cannot be used; the text says where and why.
struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- values -----------------------------------------------------------------

// A number given as a JSON number or as a text ("0x7a01", "31", "0b1").
uint32_t to_u32(const json& value, const std::string& where);
uint32_t get_u32(const json& object, const char* key, uint32_t fallback, const std::string& where);
std::string get_text(const json& object, const char* key, const std::string& fallback,
                     const std::string& where);
bool get_bool(const json& object, const char* key, bool fallback, const std::string& where);

std::string hex_text(uint32_t value);  // "0x7a01"
std::string to_hex(const uint8_t* bytes, std::size_t size);
std::vector<uint8_t> from_hex(std::string_view text, const std::string& where);

// "00:10:18:a1:00:00", "00-10-18-..." or "001018a10000" (any case).
std::array<uint8_t, 6> parse_mac(std::string_view text, const std::string& where);
std::string mac_text(const std::array<uint8_t, 6>& mac);  // 12 lower-case hex digits
// The MAC of the i-th function (from 0) that names none: 02:00:00:00:hi:lo of i + 1.
std::string default_mac(std::size_t i);

// The bootcode word: low byte major, high byte minor. From "7.10" (major 7,
// minor 10) or a raw number; back to "7.10".
uint16_t bootcode_word(const json& value, const std::string& where);
std::string bootcode_text(uint16_t word);

// ---- byte images ------------------------------------------------------------

// An NVRAM image or extended VPD blob as the bench gives it: a hex text (blanks
// allowed), or {"size", "fill", "segments": [{"offset", "hex"}], "vpd": {...},
// "vpdOffset"}. `defaultSize` applies when the object names no size; 0 means
// "as long as the content".
std::vector<uint8_t> decode_bytes(const json& value, std::size_t defaultSize,
                                  std::size_t defaultVpdOffset, const std::string& where);
// The compact form written back: {"size", "segments"} holding the non-zero runs.
json encode_bytes(const std::vector<uint8_t>& bytes);

// A PCI VPD image from {"identifier", "keywords": [["PN","..."], {"name","data"|"hex"}],
// "rv", "length", "checksum"}; see docs/bench.md.
std::vector<uint8_t> build_vpd(const json& layout, const std::string& where);

// Sets keywords of the VPD-R area of the image at `offset` (at most `areaSize`
// bytes): replaces each keyword's data, or inserts the keyword before "RV";
// the area keeps its length, the "RV" reserved space absorbs the difference
// and the checksum is recomputed. False with `error` set when the VPD cannot
// be parsed or the keywords do not fit.
bool vpd_set_keywords(std::vector<uint8_t>& image, std::size_t offset, std::size_t areaSize,
                      const std::vector<std::pair<std::string, std::string>>& keywords,
                      std::string& error);

// ---- the state file ---------------------------------------------------------

// The bench file in the working directory. It is read only when it changed
// on disk (inode, size, modification time) and written atomically (a
// temporary file renamed over it), so that the library and the tool, in
// different processes, always act on the latest state.
//
// It is written with every member of the top two levels on a line of its
// own (so each adapter and each function is one line). When the file read
// again has the same lines but for some member lines, only those members are
// parsed again: a tool command that changed one adapter costs the library
// one adapter, not the whole server.
class StateFile {
public:
    explicit StateFile(std::filesystem::path path = BenchFileName) : path_(std::move(path)) {}

    // Reads the file when it is new or changed; true when it was (re)read.
    // Throws BenchError when the file is missing or not valid JSON.
    bool refresh();
    // Writes the state back.
    void save();

    json& data() { return data_; }
    const std::filesystem::path& path() const { return path_; }
    bool loaded() const { return loaded_; }

    // One line of the written form; `at` names the member a value line holds.
    struct Line {
        std::string text;
        std::optional<json::json_pointer> at;
        std::size_t valueStart = 0;  // where the member's value begins in `text`
    };

    // For a process that needs a few members only: reads the file's lines
    // without parsing them. False when the file is not in the written form
    // (then use refresh()). `data()` stays empty until members are taken.
    bool read_lines();
    const std::vector<Line>& lines() const { return lines_; }
    // The member that line `i` holds, parsed.
    json member(std::size_t i) const;
    // Writes back the members at `members` (each one line of the file read
    // by read_lines) from data(); every other line stays as it was.
    void save_members(const std::vector<json::json_pointer>& members);

private:
    bool patch(const std::vector<std::string>& text);
    void parse(const std::string& text);
    void write_lines();

    std::filesystem::path path_;
    json data_;
    bool loaded_ = false;
    struct stat identity_ {};
    std::vector<Line> lines_;  // the state in its written form
};

// ---- the described server ---------------------------------------------------

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

// ---- faults -----------------------------------------------------------------

// Counts one matching occurrence of `fault` ("seen" is kept in the state) and
// says whether it fires: always when "occurrence" is 0 or absent, otherwise on
// exactly that occurrence. Sets `changed` when the count was stored.
bool fault_fires(json& fault, bool& changed);

// Appends one line to a file in the working directory.
void append_line(const char* file, const std::string& line);

}  // namespace sim
