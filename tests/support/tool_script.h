// Stands in for the programming tool: records every command line and answers
// each with the exit code scripted for it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tool_command.h"

class ToolScript {
  public:
    ToolScript() = default;
    // The runner it hands out calls back into this object.
    ToolScript(const ToolScript&) = delete;
    ToolScript& operator=(const ToolScript&) = delete;

    // The runner to hand the code under test.
    const ToolRunner& runner() const { return runner_; }

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

    ToolRunner runner_{[this](const char* line) { return run(line); }};
    std::vector<std::pair<std::string, int>> rules_;
    std::vector<std::string> commands_;
    std::function<void(const std::string&)> action_;
};
