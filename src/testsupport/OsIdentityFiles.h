// Tavrel::TestSupport::OsIdentityFiles: points the files the platform facts
// are read from (os-release, the Red Hat release file, the identity cache)
// and the systemd run directory into a test's own directory, and puts the
// real paths back, with the facts cache cleared, when it goes out of scope.
//
//   TempDir tmp;
//   OsIdentityFiles files(tmp.path());
//   SysBootstrap::OS_RELEASE_FILE = tmp.write("os-release", "ID=debian\n");
#pragma once

#include "Tavrel/Config/OS.h"
#include "Tavrel/Config/OS/SysBootstrap.h"

#include <string>

namespace Tavrel::TestSupport {

class OsIdentityFiles {
  public:
    explicit OsIdentityFiles(const std::string& dir) {
        namespace SB = Config::OS::SysBootstrap;
        SB::OS_RELEASE_FILE = dir + "/os-release";
        SB::REDHAT_RELEASE_FILE = dir + "/redhat-release";
        SB::CACHE_DIR = dir + "/var/caches/os";
        SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
        SB::CUSTOM_LINK = SB::CACHE_DIR + "/identity.custom";
        Config::OS::clear_cache();
    }
    ~OsIdentityFiles() {
        namespace SB = Config::OS::SysBootstrap;
        SB::OS_RELEASE_FILE = os_release_;
        SB::REDHAT_RELEASE_FILE = redhat_release_;
        SB::CACHE_DIR = cache_dir_;
        SB::CACHE_LINK = cache_link_;
        SB::CUSTOM_LINK = custom_link_;
        Config::OS::SYSTEMD_RUN_DIR = systemd_run_dir_;
        Config::OS::clear_cache();
    }
    OsIdentityFiles(const OsIdentityFiles&) = delete;
    OsIdentityFiles& operator=(const OsIdentityFiles&) = delete;

  private:
    std::string os_release_ = Config::OS::SysBootstrap::OS_RELEASE_FILE;
    std::string redhat_release_ = Config::OS::SysBootstrap::REDHAT_RELEASE_FILE;
    std::string cache_dir_ = Config::OS::SysBootstrap::CACHE_DIR;
    std::string cache_link_ = Config::OS::SysBootstrap::CACHE_LINK;
    std::string custom_link_ = Config::OS::SysBootstrap::CUSTOM_LINK;
    std::string systemd_run_dir_ = Config::OS::SYSTEMD_RUN_DIR;
};

}  // namespace Tavrel::TestSupport
