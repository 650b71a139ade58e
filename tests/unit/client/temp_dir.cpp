// A private scratch directory for one test, removed with everything in it.
#include "temp_dir.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

temp_dir::temp_dir() {
    std::string pattern = "/tmp/pairgate-pair-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
}

temp_dir::~temp_dir() {
    // Only plain entries are made here, never subdirectories.
    if (DIR *dir = opendir(root_.c_str())) {
        std::vector<std::string> names;
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
        for (const auto &name : names) {
            unlink(path(name).c_str());
        }
    }
    rmdir(root_.c_str());
}
