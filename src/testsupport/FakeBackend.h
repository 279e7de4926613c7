// Test doubles for the service core: a backend that records what it is asked
// and answers what the test chose, and a service class whose machine-wide
// side effects (limits, priorities, roles, orphan killing, the process check,
// ending the process) are replaced by recorded answers.
#pragma once

#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Output/Formatted/Plain.h"
#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Hot.h"
#include "Tavrel/Service/Lock.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Service::TestSupport {

struct BackendState {
    std::vector<std::string> calls;
    // What the status helper answers (nullopt: the backend has none).
    std::optional<std::string> status;
    std::function<bool()> on_start = [] { return true; };
    std::function<bool()> on_stop = [] { return true; };
    // Called before each status look.
    std::function<void()> on_status = [] {};
    // Answers of the optional operations (nullopt: not offered).
    std::optional<bool> restart_answer;
    std::optional<bool> reload_answer;
    std::optional<bool> restart_attempt_answer;
    std::optional<bool> check_answer;
    std::optional<bool> stop_triggers_answer;
    std::optional<Init::UnitProperties> unit;
    std::string start_refusal_hint;
    std::string start_blocker;
    bool executed_by_systemd = false;
    // Whether the init system may start the service by itself during a stop.
    bool starts_by_itself = true;
    // What start_marks answers at each look (nullopt: not offered), and
    // start_is_over.
    std::function<std::optional<Init::StartMarks>()> start_marks = [] {
        return std::optional<Init::StartMarks>();
    };
    std::optional<bool> start_is_over;
    // Whether the init system has the service under way although not up.
    bool under_way = false;
};

class FakeBackend : public Init::Backend {
  public:
    explicit FakeBackend(std::shared_ptr<BackendState> s) : s_(std::move(s)) {}
    std::string class_name() const override { return "FakeBackend"; }
    bool start(Tavrel::Init::Service&) override {
        s_->calls.push_back("start");
        return s_->on_start();
    }
    bool stop(Tavrel::Init::Service&) override {
        s_->calls.push_back("stop");
        return s_->on_stop();
    }
    bool this_process_was_executed_by_systemd() const override { return s_->executed_by_systemd; }
    std::optional<bool> restart(Tavrel::Init::Service&) override {
        s_->calls.push_back("restart");
        return s_->restart_answer;
    }
    std::optional<bool> reload(Tavrel::Init::Service&) override {
        s_->calls.push_back("reload");
        return s_->reload_answer;
    }
    std::optional<bool> stop_triggers(Tavrel::Init::Service&) override {
        s_->calls.push_back("stop_triggers");
        return s_->stop_triggers_answer;
    }
    std::optional<bool> restart_attempt(Tavrel::Init::Service&, int attempt) override {
        s_->calls.push_back("restart_attempt " + std::to_string(attempt));
        return s_->restart_attempt_answer;
    }
    std::optional<std::string> status_helper(Tavrel::Init::Service&) override {
        s_->on_status();
        return s_->status;
    }
    std::optional<bool> check(Tavrel::Init::Service&, const std::string&) override { return s_->check_answer; }
    std::optional<Init::UnitProperties> service_via_systemd() const override { return s_->unit; }
    std::string start_refusal_hint(Tavrel::Init::Service&) override { return s_->start_refusal_hint; }
    std::string start_blocker() const override { return s_->start_blocker; }
    std::optional<Init::StartMarks> start_marks(Tavrel::Init::Service&) override {
        return s_->start_marks();
    }
    std::optional<bool> start_is_over(Tavrel::Init::Service&) override { return s_->start_is_over; }
    bool is_under_way(Tavrel::Init::Service&) override { return s_->under_way; }
    bool starts_services_by_itself() const override { return s_->starts_by_itself; }

  private:
    std::shared_ptr<BackendState> s_;
};

struct ExitCalled {
    int code;
};

// Mixes the test seams into Base or Hot.
template <class Parent>
class Testable : public Parent {
  public:
    bool role_off = false;
    std::vector<std::vector<std::string>> doomed_calls;
    bool doomed_result = true;
    std::vector<int> hook_attempts;
    std::optional<bool> start_check_answer;
    std::optional<bool> restart_check_answer;
    std::string process_check_text;
    // The status check looks at the real process table (for tests with
    // real processes) instead of answering process_check_text.
    bool real_process_check = false;

    bool setrlimits() override { return true; }
    void resetnice() override {}
    bool _service_is_role_aware_and_disabled() override { return role_off; }
    [[noreturn]] void _exit(int code) override { throw ExitCalled{code}; }
    std::optional<bool> start_check() override { return start_check_answer; }
    std::optional<bool> restart_check() override { return restart_check_answer; }
    std::optional<bool> restart_attempt(int attempt) override {
        hook_attempts.push_back(attempt);
        return true;
    }

    // Objects of one test share a service word; they take the run lock
    // only when a test asks for it.
    static inline bool TAKE_LOCK = false;

  protected:
    std::unique_ptr<Lock> _build_lock() override {
        return TAKE_LOCK ? Parent::_build_lock() : nullptr;
    }
    bool _doomedprocess(const std::vector<std::string>& rules, bool) override {
        doomed_calls.push_back(rules);
        return doomed_result;
    }
    std::string _check_service(const Init::CheckServiceOptions& o) override {
        return real_process_check ? Parent::_check_service(o) : process_check_text;
    }
    std::vector<pid_t> _process_table_pids(const Init::CheckServiceOptions& o) override {
        return real_process_check ? Parent::_process_table_pids(o) : std::vector<pid_t>{};
    }
};

// A captured output object and a log file for one object.
struct Captured {
    std::string text;
    std::shared_ptr<Output::Base> output() {
        Output::Base::Options options;
        options.filehandle =
            std::make_shared<Output::Callback::Write>([this](std::string_view t) { text += t; });
        return std::make_shared<Output::Formatted::Plain>(options);
    }
};

}  // namespace Tavrel::Service::TestSupport
