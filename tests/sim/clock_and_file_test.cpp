// The simulator's clock in both modes, and saving and loading flash contents.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/sim/flash_file.h"
#include "platform/sim/simulator.h"

namespace {

using Wall = std::chrono::steady_clock;

TEST(ClockTest, InstantSleepAdvancesWithoutWaiting) {
  sim::Clock clock;
  const auto start = Wall::now();
  clock.sleepMillis(10'000);
  EXPECT_EQ(clock.nowMicros(), 10'000'000u);
  EXPECT_LT(Wall::now() - start, std::chrono::milliseconds(500));
}

TEST(ClockTest, RealSleepWaitsAndTheClockFollows) {
  sim::Clock clock(sim::ClockMode::real);
  const auto start = Wall::now();
  clock.sleepMillis(20);
  EXPECT_GE(Wall::now() - start, std::chrono::milliseconds(20));
  EXPECT_GE(clock.nowMicros(), 20'000u);
}

TEST(ClockTest, SwitchingModesKeepsTheTime) {
  sim::Clock clock;
  clock.sleepMillis(5'000);
  clock.setMode(sim::ClockMode::real);
  EXPECT_GE(clock.nowMicros(), 5'000'000u);
  EXPECT_LT(clock.nowMicros(), 6'000'000u);
  clock.setMode(sim::ClockMode::instant);
  const std::uint64_t now = clock.nowMicros();
  EXPECT_GE(now, 5'000'000u);
  clock.advanceMicros(7);
  EXPECT_EQ(clock.nowMicros(), now + 7);
  clock.reset();
  EXPECT_EQ(clock.nowMicros(), 0u);
}

TEST(ClockTest, SleepsFromSeveralThreadsAllCount) {
  sim::Clock clock;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&clock] {
      for (int j = 0; j < 1000; ++j) {
        clock.sleepMillis(1);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(clock.nowMillis(), 4000u);
}

TEST(ClockTest, SeamSleepMovesTheCurrentFrameworksClock) {
  sim::ResetSimulator();
  sim::MediaCaptureTable()->sleep(1500);
  EXPECT_EQ(sim::CurrentFramework().clock().nowMillis(), 1500u);
  sim::ResetSimulator();
  EXPECT_EQ(sim::CurrentFramework().clock().nowMillis(), 0u);
}

class FlashFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ResetSimulator();
    device_ = sim::BuildOneCameraWorld();
    path_ = std::filesystem::temp_directory_path() /
            ("sim_flash_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".bin");
  }
  void TearDown() override {
    std::filesystem::remove(path_);
    sim::ResetSimulator();
  }
  sim::SerialFlash& flash() { return device_->camera()->flash(); }

  sim::Device* device_ = nullptr;
  std::filesystem::path path_;
};

TEST_F(FlashFileTest, SavedContentsLoadBackByteForByte) {
  for (std::size_t i = 0; i < sim::FlashSize; ++i) {
    flash().contents()[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  }
  const auto saved = flash().contents();
  ASSERT_TRUE(sim::SaveFlash(flash(), path_.string()));
  EXPECT_EQ(std::filesystem::file_size(path_), sim::FlashSize);
  flash().contents().fill(0xFF);
  ASSERT_TRUE(sim::LoadFlash(flash(), path_.string()));
  EXPECT_EQ(flash().contents(), saved);
}

TEST_F(FlashFileTest, FileOfAnotherSizeIsRefusedAndFlashKept) {
  for (std::size_t size : {std::size_t{100}, std::size_t{sim::FlashSize + 1}}) {
    {
      std::ofstream out(path_, std::ios::binary | std::ios::trunc);
      out << std::string(size, '\0');
    }
    std::string error;
    EXPECT_FALSE(sim::LoadFlash(flash(), path_.string(), &error));
    EXPECT_NE(error.find("65536"), std::string::npos);
    EXPECT_EQ(flash().contents()[0], 0xFF);
  }
}

TEST_F(FlashFileTest, MissingFileIsAnError) {
  std::string error;
  EXPECT_FALSE(sim::LoadFlash(flash(), (path_ / "missing").string(), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
