// Two protocol components on two in-memory ports joined by a cable the test
// drives: bytes move between the ports, both dispatchers run their passes,
// and the stopped clock moves on by a tick whenever the line is quiet, so
// time-outs happen in a few passes and every run is the same. A filter per
// direction can damage the bytes on their way (seeded noise).
#pragma once

#include <functional>
#include <random>
#include <string>

#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {

struct LinkEnd {
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  TMemoryDispatcher* device = nullptr;
  EventLog events;
  std::string dir;  // its own directory in the scratch directory
};

// Damages bytes: flips one bit or drops the byte, each with probability p.
class LineNoise {
 public:
  LineNoise(double flip, double drop, uint32_t seed) : flip_(flip), drop_(drop), gen_(seed) {}
  void operator()(std::string& bytes) {
    std::string out;
    std::uniform_real_distribution<double> u(0, 1);
    for (char c : bytes) {
      if (u(gen_) < drop_) {
        ++dropped;
        continue;
      }
      if (u(gen_) < flip_) {
        c = char(c ^ (1 << (gen_() % 8)));
        ++flipped;
      }
      out += c;
    }
    bytes.swap(out);
  }
  int flipped = 0, dropped = 0;

 private:
  double flip_, drop_;
  std::mt19937 gen_;
};

class MemoryLinkTest : public ::testing::Test {
 protected:
  using Filter = std::function<void(std::string&)>;

  void SetUp() override {
    now_ = int64_t(kMsPerTick) * 100000;
    SetFixedClockForTesting(now_);
    MakeEnd(a, 1, "a");
    MakeEnd(b, 2, "b");
  }
  void TearDown() override {
    DrainQueue();
    SetFixedClockForTesting(-1);
  }

  void MakeEnd(LinkEnd& end, uint16_t com, const std::string& name) {
    end.port = new TMroComPort(&form);
    end.port->DispatcherFactory = [&end](TMroCustomComPort& p) {
      auto d = std::make_unique<TMemoryDispatcher>(&p);
      end.device = d.get();
      return d;
    };
    end.port->SetComNumber(com);
    end.port->SetOpen(true);
    end.protocol = new TMroProtocol(&form);
    end.protocol->SetComPort(end.port);
    end.events.Attach(*end.protocol);
    end.dir = (scratch.path() / name).string();
    fs::create_directories(end.dir);
  }

  // Moves bytes and time until both ends finished or `maxTicks` passed;
  // returns the ticks used.
  int Run(int maxTicks, const Filter& aToB = {}, const Filter& bToA = {}) {
    int ticks = 0;
    while (ticks < maxTicks && !(a.events.Finished() && b.events.Finished())) {
      for (int settle = 0; settle < 1000; ++settle) {
        std::string ab = a.device->Wire(), ba = b.device->Wire();
        if (aToB) aToB(ab);
        if (bToA) bToA(ba);
        if (!ab.empty()) b.device->InjectReceived(ab);
        if (!ba.empty()) a.device->InjectReceived(ba);
        const bool busy = !ab.empty() || !ba.empty() || a.device->DriverInputWaiting() > 0 ||
                          b.device->DriverInputWaiting() > 0;
        for (LinkEnd* e : {&a, &b}) {
          e->device->DeviceEventPass(0xFFFFFFFF);
          e->device->StatusAndTimerPass();
        }
        DrainQueue();
        if (onPass) onPass();
        if (!busy && a.device->OutputUsed() == 0 && b.device->OutputUsed() == 0) break;
      }
      Tick();
      ++ticks;
    }
    return ticks;
  }

  // Moves the clock on and runs both timer passes.
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      now_ += kMsPerTick;
      SetFixedClockForTesting(now_);
      for (LinkEnd* e : {&a, &b}) e->device->StatusAndTimerPass();
      DrainQueue();
    }
  }

  // Called after every pass of Run (outside any handler call).
  std::function<void()> onPass;

  ScratchDir scratch;
  TComponent form{nullptr};
  LinkEnd a, b;
  int64_t now_ = 0;
};

}  // namespace zav::test
