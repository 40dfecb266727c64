#pragma once
// A throw-away HOME holding the editor's configuration folder, for tests of
// the key editors and the registration command.

#include "support/test_env.hpp"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace kov::test {

class ResolveHome {
public:
    ResolveHome()
    {
        dir_ = home_.path() + "/.local/share/DaVinciResolve/configs";
        run_shell("mkdir -p '" + dir_ + "'");
        if (const char* old = std::getenv("HOME"))
            saved_ = old;
        ::setenv("HOME", home_.path().c_str(), 1);
    }
    ~ResolveHome()
    {
        if (saved_)
            ::setenv("HOME", saved_->c_str(), 1);
        else
            ::unsetenv("HOME");
    }
    ResolveHome(const ResolveHome&) = delete;
    ResolveHome& operator=(const ResolveHome&) = delete;

    const std::string& home() const { return home_.path(); }
    const std::string& dir() const { return dir_; }
    std::string iofs() const { return dir_ + "/.config.data"; }
    std::string site() const { return dir_ + "/config.dat"; }

private:
    TempDir home_;
    std::string dir_;
    std::optional<std::string> saved_;
};

} // namespace kov::test
