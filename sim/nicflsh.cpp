// The simulated firmware programming tool "./nicflsh". It
// names an adapter function by its MAC address and acts on the adapter's
// state in the bench file; docs/bench.md gives its commands, its file
// formats and its exit codes. The utility throws its output away, so every
// command is also appended to the tool log with its exit code.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

namespace {

using sim::json;

// Exit codes of the tool's own outcomes.
enum Exit : int {
    Success = 0,
    UsageError = 1,      // command line not understood, or the bench unusable
    NoSuchAdapter = 2,   // no enabled function has this MAC address
    FileMissing = 3,     // the named file cannot be read
    BadFile = 4,         // not an image for this option or adapter, or a damaged backup
    DowngradeRefused = 6,
    DumpCreateFailed = 10,
    DumpWriteFailed = 11,
    DriverNotSupported = 40,
    WriteProtected = 203,
};

const std::string Marker = "\nNICFLSH-STATE ";

struct Command {
    std::vector<std::string> argv;
    std::string mac;
    std::string form;  // dir, dumpnvram, restorenvram, prg, upgrade
    std::string option;
    std::string file;
    bool force = false;
};

struct Tool {
    sim::StateFile file;
    sim::Bench bench;
    // Only the tool settings, the named function and its adapter were read.
    bool selective = false;
    std::string adapterName;
    Command command;
    bool logging = true;
    std::string logFile = sim::ToolLogName;
    std::string note;
};

Tool tool;

// Appends the command, how it ended and any note to the tool log.
void log_command(const std::string& outcome) {
    if (!tool.logging) return;
    std::string line;
    for (const std::string& a : tool.command.argv) line += (line.empty() ? "" : " ") + a;
    line += " => " + outcome;
    if (!tool.note.empty()) line += " " + tool.note;
    sim::append_line(tool.logFile.c_str(), line);
    std::fflush(stdout);
}

[[noreturn]] void finish(int code) {
    log_command("exit " + std::to_string(code));
    std::exit(code);
}

[[noreturn]] void die_by_signal(int sig) {
    log_command("signal " + std::to_string(sig));
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    kill(getpid(), sig);
    _exit(128 + sig);  // a signal that does not end a process
}

[[noreturn]] void fail(int code, const std::string& message) {
    std::cerr << "nicflsh: " << message << '\n';
    if (tool.note.empty()) tool.note = "(" + message + ")";
    finish(code);
}

bool parse(int argc, char** argv, Command& c) {
    for (int i = 0; i < argc; ++i) c.argv.emplace_back(argv[i]);
    if (argc < 3) return false;
    c.mac = argv[1];
    c.form = argv[2];
    if (c.form == "dir") return argc == 3;
    if (c.form == "dumpnvram" || c.form == "restorenvram") {
        if (argc != 4) return false;
        c.file = argv[3];
        return true;
    }
    if (c.form == "prg") {
        if (argc != 5 || std::strcmp(argv[3], "-cfx") != 0) return false;
        c.option = argv[3];
        c.file = argv[4];
        return true;
    }
    if (c.form == "upgrade") {
        if ((argc != 6 && argc != 7) || std::strcmp(argv[3], "-noreset") != 0) return false;
        int at = 4;
        if (argc == 7) {
            if (std::strcmp(argv[4], "-F") != 0) return false;
            c.force = true;
            at = 5;
        }
        c.option = argv[at];
        c.file = argv[at + 1];
        static const char* const options[] = {"-bc",  "-mfw1", "-bta", "-mgmt", "-qmx", "-ib",  "-ib_ipv4n6",
                                              "-feb", "-cfx",  "-m_pn", "-vpd", "phy"};
        for (const char* o : options)
            if (c.option == o) return true;
        return false;
    }
    return false;
}

std::optional<std::string> read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void save() {
    try {
        if (!tool.selective) return tool.file.save();
        std::vector<json::json_pointer> members{json::json_pointer("/adapters") / tool.adapterName};
        const json& settings = tool.file.data()["tool"];
        for (auto it = settings.begin(); it != settings.end(); ++it)
            members.push_back(json::json_pointer("/tool") / it.key());
        tool.file.save_members(members);
    } catch (const sim::BenchError& e) {
        fail(UsageError, e.what());
    }
}

// The MAC a function line names, or nothing when it names none.
std::optional<std::string> line_mac(const std::string& line) {
    static const std::string key = "\"mac\":\"";
    const std::size_t start = line.find(key);
    if (start == std::string::npos) return std::nullopt;
    const std::size_t end = line.find('"', start + key.size());
    try {
        return sim::mac_text(sim::parse_mac(line.substr(start + key.size(), end - start - key.size()), "mac"));
    } catch (const sim::BenchError&) {
        return std::string();
    }
}

// A command acts on one adapter: from a file in the written form it reads
// only the tool settings, the function with its MAC address and that
// function's adapter, and writes back only those lines. Otherwise all of it.
void load_state() {
    sim::StateFile& file = tool.file;
    tool.selective = file.read_lines();
    if (!tool.selective) {
        file.refresh();
        tool.bench.index(file.data());
        return;
    }
    json& data = file.data();
    data["tool"] = json::object();
    data["functions"] = json::array();
    data["adapters"] = json::object();
    const json::json_pointer toolSettings("/tool"), functions("/functions"), adapters("/adapters");
    const auto& lines = file.lines();
    std::size_t functionIndex = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].at) continue;
        const json::json_pointer parent = lines[i].at->parent_pointer();
        if (parent == toolSettings) data["tool"][lines[i].at->back()] = file.member(i);
        if (parent != functions || !data["functions"].empty()) continue;
        const std::optional<std::string> mac = line_mac(lines[i].text);
        if (mac.value_or(sim::default_mac(functionIndex++)) == tool.command.mac)
            data["functions"].push_back(file.member(i));
    }
    if (!data["functions"].empty()) {
        tool.adapterName = sim::get_text(data["functions"][0], "adapter", "", "functions");
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].at && *lines[i].at == adapters / tool.adapterName)
                data["adapters"][tool.adapterName] = file.member(i);
    }
    tool.bench.index(data);
}

// ---- faults -----------------------------------------------------------------

struct Fault {
    int exit = 1;
    int signal = 0;
    int utilitySignal = 0;
    int groupSignal = 0;
    bool secondRun = false;
    bool scribble = false;
    bool perform = false;
};

std::optional<Fault> injected_fault(std::optional<std::size_t> function) {
    json& root = tool.file.data();
    if (!root.contains("tool") || !root["tool"].is_object() || !root["tool"].contains("faults")) return {};
    json& faults = root["tool"]["faults"];
    if (!faults.is_array()) return {};
    const Command& c = tool.command;
    std::optional<Fault> chosen;
    bool changed = false;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        json& f = faults[i];
        const std::string where = "tool.faults[" + std::to_string(i) + "]";
        auto differs = [&](const char* key, const std::string& actual) {
            return f.contains(key) && sim::get_text(f, key, "", where) != actual;
        };
        if (differs("form", c.form) || differs("option", c.option) || differs("file", c.file) ||
            differs("mac", c.mac))
            continue;
        if (f.contains("adapter") &&
            (!function || tool.bench.adapter_name(*function) != sim::get_text(f, "adapter", "", where)))
            continue;
        if (f.contains("force") && sim::get_bool(f, "force", false, where) != c.force) continue;
        if (!sim::fault_fires(f, changed) || chosen) continue;
        Fault fault;
        fault.exit = static_cast<int>(sim::get_u32(f, "exit", 1, where) & 0xFF);
        fault.signal = static_cast<int>(sim::get_u32(f, "signal", 0, where));
        fault.utilitySignal = static_cast<int>(sim::get_u32(f, "signalUtility", 0, where));
        fault.groupSignal = static_cast<int>(sim::get_u32(f, "signalGroup", 0, where));
        fault.secondRun = sim::get_bool(f, "secondRun", false, where);
        fault.scribble = sim::get_bool(f, "scribble", false, where);
        fault.perform = sim::get_bool(f, "perform", false, where);
        chosen = fault;
    }
    if (changed) save();
    return chosen;
}

// The utility that runs the tool through the shell: the nearest ancestor
// process of that name.
std::optional<pid_t> utility_process() {
    pid_t pid = getppid();
    for (int depth = 0; depth < 16 && pid > 1; ++depth) {
        const std::string proc = "/proc/" + std::to_string(pid);
        std::string name;
        std::ifstream(proc + "/comm") >> name;
        if (name == "qik_programmer") return pid;
        std::string stat;
        std::getline(std::ifstream(proc + "/stat"), stat);
        // pid (comm) state ppid ...: the name may hold blanks, the ')' ends it.
        std::istringstream rest(stat.substr(std::min(stat.rfind(')') + 1, stat.size())));
        std::string state;
        rest >> state >> pid;
        if (!rest) break;
    }
    return std::nullopt;
}

// The log note with `more` added inside its parentheses.
std::string noted(const std::string& more) {
    return tool.note.substr(0, tool.note.size() - 1) + ", " + more + ")";
}

// Sends the signal; the log note that says so.
std::string signal_utility(int sig) {
    const std::optional<pid_t> utility = utility_process();
    if (utility) kill(*utility, sig);
    return noted(utility ? "signal " + std::to_string(sig) + " to the utility"
                         : "no utility to signal");
}

// Sends the signal to every process of the utility's process group, this
// tool and its shell among them, as a stop key or a service manager does.
// Only a utility that leads its group is taken for one started as a job: any
// other group would be whatever started the utility.
std::string signal_utility_group(int sig) {
    const std::optional<pid_t> utility = utility_process();
    if (!utility || getpgid(*utility) != *utility) return noted("no process group to signal");
    kill(-*utility, sig);
    return noted("signal " + std::to_string(sig) + " to the utility's process group");
}

// Runs "./qik_programmer" in the working directory to its end, as a second
// run started there while the first is busy; the note says how it ended and
// the first line it wrote on standard error.
std::string start_second_run() {
    int err[2];
    if (pipe(err) != 0) return noted("no second run: " + std::string(std::strerror(errno)));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        close(err[1]);
        execl("./qik_programmer", "qik_programmer", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    close(err[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return noted("no second run");
    const std::string ended = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                                : "signal " + std::to_string(WTERMSIG(status));
    return noted("a second run ended " + ended + ": " + said.substr(0, said.find('\n')));
}

void scribble(const std::string& adapter) {
    std::vector<uint8_t>& nvram = tool.bench.nvram(adapter);
    for (std::size_t i = 0; i < nvram.size(); ++i) nvram[i] = (i & 1) ? 0x5A : 0xA5;
    tool.bench.store_nvram(adapter);
    save();
}

// ---- commands ---------------------------------------------------------------

int probe(std::size_t f) {
    const std::string& name = tool.bench.adapter_name(f);
    json& adapter = tool.bench.adapter(name);
    std::cout << "Vexlor nicflsh (simulated)\n"
              << "adapter " << tool.command.mac << " (" << name << ", "
              << tool.bench.text(f, "description", "") << ")\n";
    if (adapter.contains("firmware"))
        for (const auto& [key, value] : adapter["firmware"].items()) std::cout << "  " << key << " " << value << '\n';
    return Success;
}

int dump(const std::string& adapterName) {
    std::ofstream out(tool.command.file, std::ios::binary | std::ios::trunc);
    if (!out) fail(DumpCreateFailed, "cannot create " + tool.command.file);
    const std::vector<uint8_t>& nvram = tool.bench.nvram(adapterName);
    const json& adapter = tool.bench.adapter(adapterName);
    json state = {{"adapter", adapterName}};
    state["firmware"] = adapter.contains("firmware") ? adapter["firmware"] : json();
    const std::vector<uint8_t>* blob = tool.bench.ext_vpd(adapterName);
    state["extVpd"] = blob ? json(sim::to_hex(blob->data(), blob->size())) : json();
    state["partNumberModule"] = adapter.contains("partNumberModule") ? adapter["partNumberModule"] : json();
    out.write(reinterpret_cast<const char*>(nvram.data()), static_cast<std::streamsize>(nvram.size()));
    out << Marker << state.dump() << '\n';
    out.close();
    if (!out) fail(DumpWriteFailed, "cannot write " + tool.command.file);
    return Success;
}

int restore(const std::string& adapterName) {
    const std::optional<std::string> contents = read_file(tool.command.file);
    if (!contents) fail(FileMissing, "cannot read " + tool.command.file);
    std::vector<uint8_t>& nvram = tool.bench.nvram(adapterName);
    if (contents->size() < nvram.size()) fail(BadFile, tool.command.file + " is shorter than the NVRAM");
    std::optional<json> state;
    if (contents->compare(nvram.size(), Marker.size(), Marker) == 0) {
        try {
            state = json::parse(contents->substr(nvram.size() + Marker.size()));
        } catch (const json::exception&) {
            fail(BadFile, tool.command.file + ": damaged state trailer");
        }
        if (state->value("adapter", std::string()) != adapterName)
            fail(BadFile, tool.command.file + " is the backup of adapter \"" +
                              state->value("adapter", std::string()) + "\"");
    } else if (contents->size() != nvram.size()) {
        fail(BadFile, tool.command.file + " does not hold an NVRAM image of this adapter");
    }
    std::memcpy(nvram.data(), contents->data(), nvram.size());
    tool.bench.store_nvram(adapterName);
    json& adapter = tool.bench.adapter(adapterName);
    if (state) {
        for (const char* key : {"firmware", "partNumberModule"}) {
            if ((*state)[key].is_null())
                adapter.erase(key);
            else
                adapter[key] = (*state)[key];
        }
        if ((*state)["extVpd"].is_null())
            adapter.erase("extVpd");
        else
            adapter["extVpd"] = (*state)["extVpd"];
    }
    save();
    return Success;
}

// Image file: "key=value" lines, '#' comments. Each "component=" starts a
// component; the "version=" after it gives its version. Optional
// "devices=0x7a01,0x7a06" limits the image to those PCI device IDs.
struct Image {
    std::vector<std::pair<std::string, std::string>> components;
    std::vector<uint32_t> devices;
};

Image read_image(const std::string& contents) {
    Image image;
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) fail(BadFile, tool.command.file + ": not an image file");
        std::string key = line.substr(start, eq - start);
        std::string value = line.substr(eq + 1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
        if (key == "component") {
            if (sim::find_component(value) == nullptr)
                fail(BadFile, tool.command.file + ": unknown component \"" + value + "\"");
            image.components.emplace_back(value, "");
        } else if (key == "version") {
            if (image.components.empty()) fail(BadFile, tool.command.file + ": version before component");
            image.components.back().second = value;
        } else if (key == "devices") {
            std::istringstream list(value);
            std::string id;
            while (std::getline(list, id, ','))
                image.devices.push_back(sim::to_u32(json(id), tool.command.file + ": devices"));
        }
        // Other keys (name, date, ...) are descriptive.
    }
    if (image.components.empty()) fail(BadFile, tool.command.file + ": not an image file");
    for (const auto& [component, version] : image.components)
        if (version.empty()) fail(BadFile, tool.command.file + ": component " + component + " has no version");
    return image;
}

// The components an upgrade option may carry.
bool option_takes(const std::string& option, const std::string& component) {
    struct Row {
        const char* option;
        const char* components[2];
    };
    static const Row rows[] = {
        {"-bc", {"bc", nullptr}},       {"-mfw1", {"bc", nullptr}},         {"-bta", {"bta", "uefi"}},
        {"-mgmt", {"ncsi", "ipmi"}},    {"-qmx", {"qmx", "extphy"}},        {"-ib", {"iscsib", nullptr}},
        {"-ib_ipv4n6", {"iscsib", nullptr}}, {"-feb", {"fcoeb", nullptr}}, {"-cfx", {"cfx", nullptr}},
        {"phy", {"extphy", nullptr}},
    };
    for (const Row& row : rows) {
        if (option != row.option) continue;
        for (const char* c : row.components)
            if (c != nullptr && component == c) return true;
    }
    return false;
}

// Version texts compared group by group as numbers ("7.10.3" > "7.9.12").
int compare_versions(const std::string& a, const std::string& b) {
    std::istringstream sa(a), sb(b);
    std::string ga, gb;
    while (true) {
        const bool ha = static_cast<bool>(std::getline(sa, ga, '.'));
        const bool hb = static_cast<bool>(std::getline(sb, gb, '.'));
        if (!ha && !hb) return 0;
        const long na = ha ? std::strtol(ga.c_str(), nullptr, 10) : 0;
        const long nb = hb ? std::strtol(gb.c_str(), nullptr, 10) : 0;
        if (na != nb) return na < nb ? -1 : 1;
    }
}

int install(std::size_t f, const std::string& adapterName) {
    const Command& c = tool.command;
    const std::optional<std::string> contents = read_file(c.file);
    if (!contents) fail(FileMissing, "cannot read image " + c.file);
    const Image image = read_image(*contents);
    if (!image.devices.empty()) {
        const uint32_t device = tool.bench.u32(f, "deviceId", 0);
        bool fits = false;
        for (const uint32_t d : image.devices) fits = fits || d == device;
        if (!fits) fail(BadFile, c.file + " is not made for device " + sim::hex_text(device));
    }
    json& adapter = tool.bench.adapter(adapterName);
    if (!adapter.contains("firmware") || !adapter["firmware"].is_object()) adapter["firmware"] = json::object();
    json& firmware = adapter["firmware"];
    const std::string where = "adapters." + adapterName + ".firmware";
    const bool refuseDowngrade =
        sim::get_bool(tool.file.data().value("tool", json::object()), "refuseDowngrade", false, "tool");
    for (const auto& [component, version] : image.components) {
        if (!option_takes(c.option, component))
            fail(BadFile, c.file + " carries " + component + ", which " + c.option + " does not program");
        const sim::ComponentSlot* slot = sim::find_component(component);
        // -qmx programs the management port, whatever image it is given.
        const std::string field = c.option == "-qmx" ? "qmx" : slot->field;
        if (refuseDowngrade && !c.force) {
            std::string installed;
            if (field == "bootcode")
                installed = sim::bootcode_text(sim::bootcode_word(firmware.value("bootcode", json()), where));
            else
                installed = sim::get_text(firmware, field.c_str(), "", where);
            if (!installed.empty() && compare_versions(version, installed) < 0)
                fail(DowngradeRefused, c.file + ": " + version + " is older than the installed " + installed +
                                           "; use -F");
        }
    }
    for (const auto& [component, version] : image.components) {
        const sim::ComponentSlot* slot = sim::find_component(component);
        const std::string field = c.option == "-qmx" ? "qmx" : slot->field;
        if (field == "bootcode")
            firmware[field] = sim::bootcode_text(sim::bootcode_word(json(version), c.file + ": version"));
        else
            firmware[field] = version;
        std::cout << "programmed " << component << " " << version << '\n';
    }
    save();
    return Success;
}

int part_number_module(const std::string& adapterName) {
    const std::optional<std::string> contents = read_file(tool.command.file);
    if (!contents) fail(FileMissing, "cannot read " + tool.command.file);
    tool.bench.adapter(adapterName)["partNumberModule"] = {{"file", tool.command.file}, {"text", *contents}};
    save();
    return Success;
}

// "VpdUpdate.txt": lines NAME=Text,"DATA" (or NAME=Hex,"HEX") set VPD-R keywords.
int update_vpd(const std::string& adapterName) {
    const std::optional<std::string> contents = read_file(tool.command.file);
    if (!contents) fail(FileMissing, "cannot read " + tool.command.file);
    std::vector<std::pair<std::string, std::string>> keywords;
    std::istringstream lines(*contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        line = line.substr(start);
        const std::size_t eq = line.find('=');
        const std::size_t comma = line.find(',');
        const std::size_t open = line.find('"');
        const std::size_t close = line.rfind('"');
        if (eq != 2 || comma == std::string::npos || open != comma + 1 || close <= open)
            fail(BadFile, tool.command.file + ": cannot read the line \"" + line + "\"");
        const std::string name = line.substr(0, 2);
        const std::string type = line.substr(3, comma - 3);
        std::string data = line.substr(open + 1, close - open - 1);
        if (type == "Hex") {
            const std::vector<uint8_t> bytes = sim::from_hex(data, tool.command.file);
            data.assign(bytes.begin(), bytes.end());
        } else if (type != "Text") {
            fail(BadFile, tool.command.file + ": unknown type \"" + type + "\"");
        }
        keywords.emplace_back(name, data);
    }
    if (keywords.empty()) fail(BadFile, tool.command.file + ": no VPD keyword");
    json& adapter = tool.bench.adapter(adapterName);
    std::string error;
    std::vector<uint8_t>* blob = tool.bench.ext_vpd(adapterName);
    if (sim::get_bool(adapter, "extendedVpd", false, "adapters." + adapterName) && blob != nullptr) {
        if (!sim::vpd_set_keywords(*blob, 0, blob->size(), keywords, error))
            fail(BadFile, "extended VPD: " + error);
        tool.bench.store_ext_vpd(adapterName);
    } else {
        std::vector<uint8_t>& nvram = tool.bench.nvram(adapterName);
        if (!sim::vpd_set_keywords(nvram, sim::VpdOffset, sim::VpdAreaSize, keywords, error))
            fail(BadFile, "VPD: " + error);
        tool.bench.store_nvram(adapterName);
    }
    save();
    return Success;
}

int run(std::size_t f) {
    const Command& c = tool.command;
    const std::string adapterName = tool.bench.adapter_name(f);
    const json& adapter = tool.bench.adapter(adapterName);
    const std::string where = "adapters." + adapterName;
    if (!sim::get_bool(adapter, "driverSupported", true, where))
        fail(DriverNotSupported, "the installed driver is not supported");
    if (c.form == "dir") return probe(f);
    if (c.form == "dumpnvram") return dump(adapterName);
    if (sim::get_bool(adapter, "writeProtect", false, where))
        fail(WriteProtected, "write protect or system lockdown is on");
    if (c.form == "restorenvram") return restore(adapterName);
    if (c.option == "-m_pn") return part_number_module(adapterName);
    if (c.option == "-vpd") return update_vpd(adapterName);
    return install(f, adapterName);
}

}  // namespace

int main(int argc, char** argv) {
    if (!parse(argc, argv, tool.command)) {
        std::cerr << "usage: nicflsh MAC dir | dumpnvram FILE | restorenvram FILE | prg -cfx FILE |\n"
                     "       upgrade -noreset [-F] OPTION FILE\n";
        tool.note = "(usage)";
        finish(UsageError);
    }
    std::optional<std::size_t> function;
    try {
        load_state();
        const json settings = tool.file.data().value("tool", json::object());
        tool.logging = sim::get_bool(settings, "log", true, "tool");
        function = tool.bench.by_mac(tool.command.mac);

        if (const std::optional<Fault> fault = injected_fault(function)) {
            tool.note = fault->perform ? "(injected, performed)" : "(injected)";
            if (fault->scribble && function) scribble(tool.bench.adapter_name(*function));
            if (fault->perform && function &&
                sim::get_bool(tool.bench.function(*function), "enabled", true, "functions")) {
                const std::string keep = tool.note;
                run(*function);
                tool.note = keep;
            }
            if (fault->utilitySignal != 0) tool.note = signal_utility(fault->utilitySignal);
            if (fault->groupSignal != 0) tool.note = signal_utility_group(fault->groupSignal);
            if (fault->secondRun) tool.note = start_second_run();
            if (fault->signal != 0) die_by_signal(fault->signal);
            finish(fault->exit);
        }
        if (!function) fail(NoSuchAdapter, "no adapter " + tool.command.mac);
        if (!sim::get_bool(tool.bench.function(*function), "enabled", true, "functions"))
            fail(NoSuchAdapter, "adapter " + tool.command.mac + " is disabled");
        finish(run(*function));
    } catch (const sim::BenchError& e) {
        fail(UsageError, e.what());
    } catch (const json::exception& e) {
        fail(UsageError, std::string("bench: ") + e.what());
    }
}
