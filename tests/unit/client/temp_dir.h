// A private scratch directory for one test, removed with everything in it.
#pragma once

#include <string>

class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    std::string path(const std::string &name) const { return root_ + "/" + name; }

  private:
    std::string root_;
};
