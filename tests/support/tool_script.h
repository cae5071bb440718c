// Stands in for the programming tool: records every command line and answers
// each with the exit code scripted for it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

class ToolScript {
  public:
    // Starts from a tool that has failed nothing.
    ToolScript() : saved_(RunToolCommand) {
        RunToolCommand = [this](const char* line) { return run(line); };
        ErrorCode_FirmwareUpgrade = 0;
    }
    ToolScript(const ToolScript&) = delete;
    ToolScript& operator=(const ToolScript&) = delete;
    ~ToolScript() { RunToolCommand = saved_; }

    // Commands holding `fragment` exit with `code`; the first rule added wins.
    void exit_with(std::string fragment, int code) { wait_status(std::move(fragment), code << 8); }
    // The raw wait status, for commands killed by a signal or never started.
    void wait_status(std::string fragment, int status) {
        rules_.emplace_back(std::move(fragment), status);
    }
    // Called with every command before it is answered.
    void on_run(std::function<void(const std::string&)> action) { action_ = std::move(action); }

    const std::vector<std::string>& commands() const { return commands_; }
    bool ran(const std::string& fragment) const {
        for (const std::string& c : commands_)
            if (c.find(fragment) != std::string::npos) return true;
        return false;
    }

  private:
    int run(const char* line) {
        commands_.emplace_back(line);
        if (action_) action_(commands_.back());
        for (const auto& [fragment, status] : rules_)
            if (commands_.back().find(fragment) != std::string::npos) return status;
        return 0;
    }

    CommandRunner saved_;
    std::vector<std::pair<std::string, int>> rules_;
    std::vector<std::string> commands_;
    std::function<void(const std::string&)> action_;
};
