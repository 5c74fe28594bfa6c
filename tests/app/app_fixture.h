// Common ground of the form-logic tests: a recording view, the simulated system backend
// installed, and a fresh temporary tree with the program's folder ("prog/") and the current
// folder ("work/") kept apart, so tests see which folder a file lands in.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/unit1.h"
#include "platform/platform.h"
#include "platform/sim/sim_system.h"
#include "tests/app/recording_view.h"

namespace apptest {

std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The result file beside the program.
    std::filesystem::path ResultFile() const { return progDir_ / "result2.ini"; }
    std::filesystem::path WorkDir() const { return workDir_; }
    std::filesystem::path ProgDir() const { return progDir_; }

    // Command lines of the processes the program started, in order.
    std::vector<std::string> Commands() const { return sys_.CommandLines(); }

    sim::SimSystem sys_;
    RecordingView view_;
    app::TForm1 form_{view_};

  private:
    std::filesystem::path root_;
    std::filesystem::path progDir_;
    std::filesystem::path workDir_;
    std::filesystem::path previousDir_;
};

}  // namespace apptest
