// Tavrel::Server::Pkgr::Base: one package-manager back-end, answering which version of
// a system package is installed. A package that is not installed is never an
// error: it is simply absent from the answers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Server::Pkgr {

// Package name -> version text, for installed packages only.
using VersionMap = std::map<std::string, std::string>;

// Appended between version and architecture under with_arch_suffix.
inline constexpr std::string_view ARCH_SEPARATOR = ".";

struct BaseOptions {
    // Report versions with the architecture appended after ARCH_SEPARATOR.
    bool with_arch_suffix = false;
};

class Base {
  public:
    using Options = BaseOptions;
    explicit Base(Options options = {}) : options_(options) {}
    virtual ~Base() = default;

    // The back-end's name ("Apt", "Yum"); the base class has none (PlainError).
    virtual std::string name() const;
    virtual VersionMap get_version_for_packages(const std::vector<std::string>& packages) = 0;
    virtual bool is_installed(std::string_view package) = 0;
    // The installed version, or nothing.
    std::optional<std::string> get_package_version(std::string_view package);

    bool with_arch_suffix() const { return options_.with_arch_suffix; }

  private:
    Options options_;
};

}  // namespace Tavrel::Server::Pkgr
