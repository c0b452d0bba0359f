// A zoneinfo tree in a fresh temporary directory, removed with the object, built from copies of
// this machine's zone files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fake {

class ZoneTree {
  public:
    ZoneTree() {
        std::string p = (std::filesystem::temp_directory_path() / "tztest.XXXXXX").string();
        if (mkdtemp(p.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root_ = p;
    }
    ~ZoneTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    ZoneTree(const ZoneTree &) = delete;
    ZoneTree &operator=(const ZoneTree &) = delete;

    const std::string &root() const { return root_; }
    // Copies the zone file SOURCE (by default REL itself) to REL below the root.
    void zone(const std::string &rel, const std::string &source = "") const {
        std::filesystem::path dest = root_ + "/" + rel;
        std::filesystem::create_directories(dest.parent_path());
        std::filesystem::copy_file("/usr/share/zoneinfo/" + (source.empty() ? rel : source), dest,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    void link(const std::string &rel, const std::string &target) const {
        std::filesystem::path dest = root_ + "/" + rel;
        std::filesystem::create_directories(dest.parent_path());
        std::filesystem::create_symlink(target, dest);
    }

  private:
    std::string root_;
};

}  // namespace fake
