#include "Tavrel/Process/AccessIds/SetUids.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Foundation/Text/Digits.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Tavrel::Process::AccessIds::SetUids {

namespace {

[[noreturn]] void call_failed(const char* name, int error) {
    throw Foundation::Exception::create("System::CallFailed", {{"name", name}, {"error", std::strerror(error)}});
}

// A numeric id that fits the id types (uid_t and gid_t are 32 bits, and
// the all-ones value means "no change" to the set*id calls).
std::optional<unsigned> numeric_id(std::string_view text) {
    if (!Foundation::Text::all_digits(text) || text.size() > 10)
        return std::nullopt;
    unsigned long long v = std::stoull(std::string(text));
    if (v >= 0xffffffffULL)
        return std::nullopt;
    return static_cast<unsigned>(v);
}

gid_t resolve_group(std::string_view group) {
    if (auto id = numeric_id(group))
        return *id;
    // getgrnam_r: the group file is not cached elsewhere in the tool.
    std::string name(group);
    struct group gr {};
    struct group* found = nullptr;
    std::string buf(16384, '\0');
    if (::getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found) != 0 || !found)
        throw Foundation::Exception::create("Param::Invalid", {{"name", "group"}, {"value", name}});
    return found->gr_gid;
}

bool already_switched(uid_t uid, gid_t gid) {
    uid_t r, e, s;
    gid_t rg, eg, sg;
    if (::getresuid(&r, &e, &s) != 0 || ::getresgid(&rg, &eg, &sg) != 0)
        return false;
    if (r != uid || e != uid || s != uid || rg != gid || eg != gid || sg != gid)
        return false;
    gid_t groups[2];
    int n = ::getgroups(2, groups);
    return n == 0 || (n == 1 && groups[0] == gid);
}

}  // namespace

bool setuids(std::string_view user, std::optional<std::string_view> group) {
    std::optional<Config::PwCache::Record> account;
    if (auto id = numeric_id(user))
        account = Config::PwCache::getpwuid_noshadow(*id);
    else
        account = Config::PwCache::getpwnam_noshadow(user);
    if (!account || user.empty())
        throw Foundation::Exception::create("Param::Invalid", {{"name", "user"}, {"value", std::string(user)}});
    const uid_t uid = account->uid;
    const gid_t gid = group ? resolve_group(*group) : account->gid;

    if (already_switched(uid, gid))
        return true;
    if (::setgroups(1, &gid) != 0)
        call_failed("setgroups", errno);
    if (::setresgid(gid, gid, gid) != 0)
        call_failed("setresgid", errno);
    if (::setresuid(uid, uid, uid) != 0)
        call_failed("setresuid", errno);
    // A switch away from root must be final.
    if (uid != 0 && ::setresuid(0, 0, 0) == 0)
        call_failed("setresuid", EPERM);
    return true;
}

}  // namespace Tavrel::Process::AccessIds::SetUids
