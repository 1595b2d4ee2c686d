// Fault sweeps: the whole tool, in-process on the simulated camera, with one fault at request k,
// for every k of a clean pass (or every Nth k, each point where the kind of request changes and
// every request of the protection restore). Every case must end with an honest verdict and a
// protected, unleaked camera; a pulled camera must not keep the attempt polling; a fault that
// hits one request must still end in a pass, on a later attempt if not the first. A case whose
// fault found nothing to act on (an empty answer aimed at a SET) is not a case.
//
// REFLASH_SWEEP_STRIDE=N sweeps every Nth k (1: all); REFLASH_SWEEP_FROM / _TO bound k;
// REFLASH_SWEEP_RESTORE=0 leaves the restore's requests to the stride.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_state.h"
#include "seams/media_capture.h"
#include "tests/app/sim_front_end_fixture.h"

namespace apptest {
namespace {

const MediaCaptureOps* realOps = nullptr;
sim::Device* watched = nullptr;
std::uint32_t goneRequests = 0;  // requests that met a camera off the bus
std::uint64_t goneSleepMs = 0;   // the camera layer's polling sleeps meanwhile
std::uint32_t longestGoneRequests = 0;
std::uint64_t longestGoneSleepMs = 0;

void EndGoneSpell() {
  longestGoneRequests = std::max(longestGoneRequests, goneRequests);
  longestGoneSleepMs = std::max(longestGoneSleepMs, goneSleepMs);
  goneRequests = 0;
  goneSleepMs = 0;
}

HResult WatchingKsProperty(McObject* control, void* property, std::uint32_t propertyLength,
                           void* data, std::uint32_t dataLength, std::uint32_t* bytesReturned) {
  const HResult result =
      realOps->ksProperty(control, property, propertyLength, data, dataLength, bytesReturned);
  if (watched != nullptr) {
    if (watched->attached()) {
      EndGoneSpell();
    } else {
      ++goneRequests;
    }
  }
  return result;
}

void WatchingSleep(std::uint32_t milliseconds) {
  if (watched != nullptr && !watched->attached()) {
    goneSleepMs += milliseconds;
  }
  realOps->sleep(milliseconds);
}

std::uint32_t EnvNumber(const char* name, std::uint32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

enum class FaultKind {
  failRequest,
  disconnect,
  emptyAnswer,
  positiveCode,
  hang,
  refuse,
  refusedTwice,
  refusedTwiceStale
};

const char* KindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::failRequest:
      return "request k fails";
    case FaultKind::disconnect:
      return "camera pulled after k";
    case FaultKind::emptyAnswer:
      return "request k, if a GET, answered with no bytes";
    case FaultKind::positiveCode:
      return "request k answers success code 1";
    case FaultKind::hang:
      return "request k hangs for 2 s";
    case FaultKind::refusedTwice:
      return "request k refused, and so is the request that repeats it";
    case FaultKind::refusedTwiceStale:
      return "request k refused twice, the data register keeping its value without a flash";
    default:
      return "from request k on, every request refused for a while";
  }
}

// Faults that hit one request: whatever the attempt they hit, a later one must pass.
bool OneRequest(FaultKind kind) {
  return kind != FaultKind::disconnect && kind != FaultKind::refuse;
}

// A camera that refuses everything through the rest of the run cannot be locked again by anyone;
// it must be failed, and it is checked for protection only when it passed.
bool MustEndProtected(FaultKind kind, bool passed) {
  return kind != FaultKind::refuse || passed;
}

bool Fired(const sim::FaultsFired& fired, FaultKind kind) {
  switch (kind) {
    case FaultKind::failRequest:
      return fired.failRequest > 0;
    case FaultKind::disconnect:
      return fired.disconnect > 0;
    case FaultKind::emptyAnswer:
      return fired.shortGet > 0;
    case FaultKind::positiveCode:
      return fired.positiveSuccess > 0;
    case FaultKind::hang:
      return fired.hang > 0;
    case FaultKind::refusedTwice:
    case FaultKind::refusedTwiceStale:
      return fired.refusedRepeats > 0;
    default:
      return fired.refused > 0;
  }
}

void Inject(sim::Faults& faults, FaultKind kind, std::uint32_t k, std::uint32_t refuseMillis) {
  switch (kind) {
    case FaultKind::failRequest:
      faults.failRequest = k;
      break;
    case FaultKind::disconnect:
      faults.disconnectAfter = k;
      break;
    case FaultKind::emptyAnswer:
      faults.shortGetRequest = k;
      faults.shortGetBytes = 0;
      break;
    case FaultKind::positiveCode:
      faults.positiveSuccessRequest = k;
      faults.positiveSuccessCode = 1;
      break;
    case FaultKind::hang:
      faults.hangRequest = k;
      faults.hangMillis = 2000;
      break;
    case FaultKind::refuse:
      faults.refuseFromRequest = k;
      faults.refuseMillis = refuseMillis;
      break;
    case FaultKind::refusedTwiceStale:
      faults.staleDataIn = true;
      [[fallthrough]];
    case FaultKind::refusedTwice:
      faults.refuseRequest = k;
      faults.refuseRequestTries = 2;
      break;
  }
}

// Trace lines are "SET|GET <selector> <node> <bytes...>"; the third record byte of a selector-3
// SET is its control: 1-8 for a write of that many bytes.
bool IsFlashWrite(const std::string& line) {
  unsigned selector = 0;
  unsigned node = 0;
  unsigned low = 0;
  unsigned high = 0;
  unsigned control = 0;
  return std::sscanf(line.c_str(), "SET %u %u %x %x %x", &selector, &node, &low, &high, &control) ==
             5 &&
         selector == 3 && control >= 1 && control <= 8;
}

// The requests from the end of the image write to the check's first identification read: the
// protection restore and the reset, where a lost request decides whether the camera ships locked.
std::pair<std::uint32_t, std::uint32_t> RestoreRange(const std::vector<std::string>& trace) {
  std::size_t lastWrite = 0;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (IsFlashWrite(trace[i])) {
      lastWrite = i;
    }
  }
  std::size_t checkStart = lastWrite + 1;
  while (checkStart < trace.size() && trace[checkStart].rfind("SET 4 ", 0) != 0) {
    ++checkStart;
  }
  // Request numbers are 1-based: line i is request i + 1.
  return {static_cast<std::uint32_t>(lastWrite + 2), static_cast<std::uint32_t>(checkStart)};
}

// The register erase's busy wait, from the request after its first status read (a wait whose
// first read is refused ends at once, status 0 taken for ready, as it always has) to the port given
// back after it.
std::pair<std::uint32_t, std::uint32_t> EraseWaitRange(const std::vector<std::string>& trace) {
  const auto find = [&trace](const char* prefix, std::size_t from) {
    while (from < trace.size() && trace[from].rfind(prefix, 0) != 0) {
      ++from;
    }
    return from;
  };
  std::size_t code = find("SET 1 3 82 10 C7", 0);
  if (code == trace.size()) {
    code = find("SET 1 3 82 10 60", 0);
  }
  const std::size_t firstRead = find("SET 1 3 83 10 00 FF", code);
  const std::size_t portBack = find("SET 1 3 80 10 00 00", firstRead);
  // Request numbers are 1-based: line i is request i + 1; the read's answer is the next line.
  return {static_cast<std::uint32_t>(firstRead + 3), static_cast<std::uint32_t>(portBack + 1)};
}

struct Row {
  const char* what;
  int chip;
  std::uint8_t flashType;
};

// What an attempt ended with, read from the status line and progress bar it left.
std::string AttemptOutcome(const std::vector<std::string>& attempt) {
  std::string outcome = "no camera";
  for (const std::string& event : attempt) {
    if (event == Progress(20)) {
      outcome = "open failed";
    } else if (event == Red("Erase failed!!!")) {
      return "erase failed";
    } else if (event == Red("Write firmware Failed!!!")) {
      return "write failed";
    } else if (event == Red("Check Firmware Failed!!!")) {
      return "check failed";
    } else if (event == Progress(100)) {
      outcome = "pass";
    }
  }
  return outcome;
}

// The outcome of every attempt of a run, in order.
std::vector<std::string> AttemptOutcomes(const std::vector<std::string>& events) {
  std::vector<std::vector<std::string>> attempts;
  for (const std::string& event : events) {
    if (event == Blue("Check Hardware ...")) {
      attempts.emplace_back();
    }
    if (!attempts.empty()) {
      attempts.back().push_back(event);
    }
  }
  std::vector<std::string> outcomes;
  for (const auto& attempt : attempts) {
    outcomes.push_back(AttemptOutcome(attempt));
  }
  return outcomes;
}

class FaultSweep : public SimFrontEndTest {
 protected:
  void SetUp() override {
    SimFrontEndTest::SetUp();
    realOps = sim::MediaCaptureTable();
    static const MediaCaptureOps watching = [] {
      MediaCaptureOps ops = *sim::MediaCaptureTable();
      ops.ksProperty = WatchingKsProperty;
      ops.sleep = WatchingSleep;
      return ops;
    }();
    CamInstallMediaCapture(&watching);
  }
  void TearDown() override {
    watched = nullptr;
    CamInstallMediaCapture(realOps);
    SimFrontEndTest::TearDown();
  }

  sim::Device& Station(const Row& row) {
    ResetWorld();
    sim::CameraConfig config = ProtectedCamera(row.chip);
    config.flashType = row.flashType;
    return AddCamera(sim::DefaultUsbId, sim::DefaultUsbId, config);
  }

  // The k worth sweeping: every stride-th, and both sides of each change of request kind; or
  // only the restore's, or `erasePoints` spread over the register erase's busy wait.
  std::vector<std::uint32_t> Points(const Row& row, bool restoreOnly = false,
                                    std::uint32_t erasePoints = 0) {
    Station(row);
    const std::vector<std::string> trace = TracedRun();
    EXPECT_EQ(ResultLog(), "Pass\r\nR06.00.01\r\n") << "the clean run of " << row.what;
    const std::uint32_t stride = EnvNumber("REFLASH_SWEEP_STRIDE", 61);
    const std::uint32_t from = EnvNumber("REFLASH_SWEEP_FROM", 1);
    const std::uint32_t to =
        EnvNumber("REFLASH_SWEEP_TO", static_cast<std::uint32_t>(trace.size()));
    const auto [restoreFrom, restoreTo] = RestoreRange(trace);
    EXPECT_LT(restoreFrom, restoreTo) << "no restore found in the clean run of " << row.what;
    const bool wholeRestore = EnvNumber("REFLASH_SWEEP_RESTORE", 1) != 0;
    std::vector<std::uint32_t> points;
    if (erasePoints > 0) {
      const auto [eraseFrom, eraseTo] = EraseWaitRange(trace);
      EXPECT_LT(eraseFrom, eraseTo) << "no register erase in the clean run of " << row.what;
      for (std::uint32_t i = 0; i < erasePoints; ++i) {
        points.push_back(eraseFrom + (eraseTo - eraseFrom) * i / erasePoints);
      }
      return points;
    }
    if (restoreOnly) {
      const std::uint32_t step = std::max<std::uint32_t>(1, stride / 61);
      for (std::uint32_t k = restoreFrom; k <= restoreTo; k += step) {
        points.push_back(k);
      }
      return points;
    }
    for (std::uint32_t k = 1; k <= trace.size(); ++k) {
      const bool onStride = (k - 1) % stride == 0;
      // A trace line's fifth character is the selector: where it changes, a phase begins.
      auto head = [&](std::size_t i) { return trace[i].substr(4, 1); };
      const bool atBoundary = stride > 1 && ((k < trace.size() && head(k - 1) != head(k)) ||
                                             (k >= 2 && head(k - 2) != head(k - 1)));
      const bool inRestore = wholeRestore && k >= restoreFrom && k <= restoreTo;
      if ((onStride || atBoundary || inRestore) && k >= from && k <= to) {
        points.push_back(k);
      }
    }
    return points;
  }

  void Sweep(const Row& row, FaultKind kind) { Sweep(row, kind, Points(row), 900); }

  // The kinds a pass must survive at every request of the restore.
  void RestoreSweep(const Row& row) {
    for (FaultKind kind : {FaultKind::refusedTwice, FaultKind::refusedTwiceStale}) {
      Sweep(row, kind, Points(row, true), 0);
    }
  }

  // A camera busy with its own work for 1, 3 or 10 s, from points across the register erase's
  // busy wait: the wait goes on polling, and the attempt passes.
  void EraseWaitRefusals(const Row& row) {
    const std::vector<std::uint32_t> points = Points(row, false, 8);
    for (std::uint32_t millis : {1000u, 3000u, 10000u}) {
      std::printf("refused for %u ms:\n", millis);
      Sweep(row, FaultKind::refuse, points, millis, true);
    }
  }

  void Sweep(const Row& row, FaultKind kind, const std::vector<std::uint32_t>& points,
             std::uint32_t refuseMillis, bool mustPass = false) {
    const std::vector<std::uint8_t> image = Image();
    std::map<std::string, int> table;
    longestGoneRequests = 0;
    longestGoneSleepMs = 0;
    int failures = 0;
    std::size_t cases = 0;
    std::size_t idle = 0;
    for (std::uint32_t k : points) {
      sim::Device& device = Station(row);
      Inject(device.faults(), kind, k, refuseMillis);
      watched = &device;
      goneRequests = 0;
      goneSleepMs = 0;
      const RunOutcome run = RunOnSimulator();
      EndGoneSpell();
      watched = nullptr;
      if (!Fired(device.faults().fired, kind)) {
        ++idle;  // nothing for the fault to act on: not a case
        continue;
      }
      ++cases;

      const std::string verdict = ResultLog();
      const bool passed = verdict == "Pass\r\nR06.00.01\r\n";
      const auto& flash = device.camera()->flash();
      const bool flashIsImage = std::equal(image.begin(), image.end(), flash.contents().begin());
      const bool protectedNow =
          (flash.status() & 0x8C) == 0x8C && !device.camera()->writeProtectHigh();
      std::vector<std::string> outcomes = AttemptOutcomes(run.events);
      std::string key;
      for (const auto& o : outcomes) {
        key += (key.empty() ? "" : " / ") + o;
      }
      ++table[key];

      const bool ok = (passed || verdict == "Fail") && (!passed || flashIsImage) &&
                      (protectedNow || !MustEndProtected(kind, passed)) &&
                      (passed || (!OneRequest(kind) && !mustPass)) &&
                      cameraBinding.boundFilter == nullptr &&
                      sim::CurrentFramework().liveReferences() == 0 &&
                      sim::CurrentFramework().apartmentBalance() == 0 &&
                      longestGoneRequests <= 1500 && longestGoneSleepMs <= 1000;
      if (!ok && ++failures <= 20) {
        ADD_FAILURE() << row.what << ", " << KindName(kind) << ", k = " << k << ": verdict \""
                      << verdict << "\", flash is image " << flashIsImage << ", protected "
                      << protectedNow << ", attempts " << key << ", requests to a gone camera "
                      << longestGoneRequests << ", polling while gone " << longestGoneSleepMs
                      << " ms";
      }
      longestGoneRequests = 0;
      longestGoneSleepMs = 0;
    }
    // A sweep whose faults never fire proves nothing.
    EXPECT_GT(cases, 0u) << row.what << ", " << KindName(kind);
    std::printf("%s, %s, %zu cases (%zu points where the fault had nothing to act on):\n", row.what,
                KindName(kind), cases, idle);
    for (const auto& [key, count] : table) {
      std::printf("  %6d  %s\n", count, key.c_str());
    }
    std::fflush(stdout);
  }

  // The flash drops its Nth status write, or takes it one bit off (a block-protect bit kept at 1,
  // or dropped), for every N of a clean pass, without any request failing: the attempt whose
  // restore did not take exactly must not pass, and a later attempt must.
  void StatusWriteFaults(const Row& row) {
    sim::Device& clean = Station(row);
    RunOnSimulator();
    const std::uint32_t due = clean.camera()->flash().counters().statusWritesDue;
    EXPECT_GE(due, 2u) << row.what << ": a release and a restore";
    const std::vector<std::uint8_t> image = Image();
    const struct {
      const char* what;
      bool ignored;
      std::uint8_t keeps;
      std::uint8_t drops;
    } faults[] = {{"ignored", true, 0, 0},
                  {"keeping bit 4 set", false, 0x10, 0},
                  {"dropping bit 2", false, 0, 0x04}};
    for (const auto& fault : faults) {
      std::map<std::string, int> table;
      for (std::uint32_t n = 1; n <= due; ++n) {
        sim::Device& device = Station(row);
        device.faults().ignoreStatusWrite = fault.ignored ? n : 0;
        device.faults().statusBitsWrite = fault.ignored ? 0 : n;
        device.faults().statusKeepsBits = fault.keeps;
        device.faults().statusDropsBits = fault.drops;
        const RunOutcome run = RunOnSimulator();
        const auto& flash = device.camera()->flash();
        const std::string what =
            std::string(row.what) + ", write " + std::to_string(n) + " " + fault.what;
        EXPECT_GE(flash.counters().statusWritesDue, n) << what;
        EXPECT_EQ(ResultLog(), "Pass\r\nR06.00.01\r\n") << what;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.contents().begin())) << what;
        EXPECT_EQ(flash.status(), 0x8C) << what;
        std::string key;
        for (const auto& o : AttemptOutcomes(run.events)) {
          key += (key.empty() ? "" : " / ") + o;
        }
        ++table[key];
      }
      std::printf("%s, status write n %s, %u cases:\n", row.what, fault.what, due);
      for (const auto& [key, count] : table) {
        std::printf("  %6d  %s\n", count, key.c_str());
      }
    }
    std::fflush(stdout);
  }

  // A flash cell that keeps a bit the image clears, at the first byte, the three protection
  // bytes and the last byte: whatever else happens, never a pass.
  void StuckCells(const Row& row) {
    const std::vector<std::uint8_t> image = Image();
    for (std::uint32_t address : {0x0000u, 0x000Fu, 0x8034u, 0xC034u, 0xFFFFu}) {
      const std::uint8_t cleared = static_cast<std::uint8_t>(~image[address]);
      if (cleared == 0) {
        continue;  // an all-ones byte cannot show a bit stuck at one
      }
      sim::Device& device = Station(row);
      device.faults().stuckBitAddress = static_cast<std::int32_t>(address);
      device.faults().stuckBitMask = static_cast<std::uint8_t>(cleared & -cleared);
      RunOnSimulator();
      EXPECT_EQ(ResultLog(), "Fail") << row.what << ", stuck bit at " << address;
      EXPECT_EQ(device.camera()->flash().status() & 0x8C, 0x8C) << row.what;
      EXPECT_EQ(sim::CurrentFramework().liveReferences(), 0);
    }
  }
};

// An 8-byte row without an information block, erased by the chip's own request.
const Row chipRequestErase{"chip 9 (215R0, chip erase request)", 9, 0};
// A register-erase row with an information block.
const Row infoBlock{"chip 18 (232R0 rev 2, information block)", 18, 2};
// Flash type 3 on the chip that then takes 1-byte requests.
const Row oneByte{"chip 0 (220R0, flash type 3, 1-byte requests)", 0, 3};

TEST_F(FaultSweep, ChipRequestEraseFailedRequest) {
  Sweep(chipRequestErase, FaultKind::failRequest);
}
TEST_F(FaultSweep, ChipRequestErasePulled) {
  Sweep(chipRequestErase, FaultKind::disconnect);
}
TEST_F(FaultSweep, InfoBlockFailedRequest) {
  Sweep(infoBlock, FaultKind::failRequest);
}
TEST_F(FaultSweep, InfoBlockPulled) {
  Sweep(infoBlock, FaultKind::disconnect);
}
TEST_F(FaultSweep, OneByteFailedRequest) {
  Sweep(oneByte, FaultKind::failRequest);
}
TEST_F(FaultSweep, OneBytePulled) {
  Sweep(oneByte, FaultKind::disconnect);
}
TEST_F(FaultSweep, ChipRequestEraseOddAnswers) {
  for (FaultKind kind :
       {FaultKind::emptyAnswer, FaultKind::positiveCode, FaultKind::hang, FaultKind::refuse}) {
    Sweep(chipRequestErase, kind);
  }
  StuckCells(chipRequestErase);
  StatusWriteFaults(chipRequestErase);
}
TEST_F(FaultSweep, InfoBlockOddAnswers) {
  for (FaultKind kind :
       {FaultKind::emptyAnswer, FaultKind::positiveCode, FaultKind::hang, FaultKind::refuse}) {
    Sweep(infoBlock, kind);
  }
  StuckCells(infoBlock);
  StatusWriteFaults(infoBlock);
}
TEST_F(FaultSweep, ChipRequestEraseRestore) {
  RestoreSweep(chipRequestErase);
}
TEST_F(FaultSweep, InfoBlockRestoreAndEraseWait) {
  RestoreSweep(infoBlock);
  EraseWaitRefusals(infoBlock);
}
TEST_F(FaultSweep, OneByteRestore) {
  RestoreSweep(oneByte);
}
TEST_F(FaultSweep, OneByteOddAnswers) {
  for (FaultKind kind :
       {FaultKind::emptyAnswer, FaultKind::positiveCode, FaultKind::hang, FaultKind::refuse}) {
    Sweep(oneByte, kind);
  }
  StuckCells(oneByte);
  StatusWriteFaults(oneByte);
}

}  // namespace
}  // namespace apptest
