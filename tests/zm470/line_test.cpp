// The line on its own: character waveforms and sampling, the transmitter's timing, the scripted
// peer and the manual clock.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "line/far_ends.h"

namespace {

using emu::line::Frame;
using emu::line::LineCharacter;
using emu::line::ManualClock;
using emu::line::Parity;
using emu::line::ReceivedCharacter;
using emu::line::Sample;
using emu::line::ScriptedPeer;
using emu::line::StopBits;

Frame F(double baud, uint8_t bits = 8, Parity p = Parity::None, StopBits s = StopBits::One) {
  return {baud, bits, p, s};
}

TEST(LineCharacter, WaveformIsStartDataLsbFirstParityStop) {
  LineCharacter c = LineCharacter::Of(0x03, F(9600, 7, Parity::Even));
  std::string bits;
  for (uint32_t i = 0; i < 11; ++i) bits += c.Level(i) ? '1' : '0';
  EXPECT_EQ(bits, "01100000011") << "start, 1100000, even parity 0, stop, idle";
  EXPECT_EQ(F(9600, 7, Parity::Even).HalfBits(), 20u);
  EXPECT_EQ(F(9600, 5, Parity::None, StopBits::OnePointFive).HalfBits(), 15u);
  EXPECT_EQ(F(300).CharacterTime(), 333333) << "10 bits at 300 baud in 100-ns units";
}

TEST(LineSample, MatchingFrameGivesWhatBitBySampling) {
  // A receiver a hair off the transmitter's rate samples each cell bit by bit; one at exactly the
  // rate and format must read every character and fault the same way.
  for (uint8_t bits : {5, 7, 8}) {
    for (Parity p : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space}) {
      const Frame f = F(115200, bits, p, StopBits::Two);
      Frame near = f;
      near.baud *= 1 + 1e-9;
      for (int v = 0; v < 256; v += 7) {
        for (int fault = 0; fault < 4; ++fault) {
          LineCharacter c = LineCharacter::Of(static_cast<uint8_t>(v), f);
          c.badParity = (fault & 1) != 0;
          c.badStop = (fault & 2) != 0;
          EXPECT_EQ(Sample(c, f), Sample(c, near)) << "value " << v << " fault " << fault << " in "
                                                   << f.ToString();
        }
      }
    }
  }
}

TEST(LineSample, ReceiverDecodesMatchingFramesDetectsFaultsAndToleratesSmallRateErrors) {
  for (Parity p : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space}) {
    Frame f = F(19200, 7, p, StopBits::Two);
    for (int v = 0; v < 128; v += 13) {
      EXPECT_EQ(Sample(LineCharacter::Of(static_cast<uint8_t>(v), f), f),
                (ReceivedCharacter{static_cast<uint8_t>(v), false, false}))
          << "value " << v << " in " << f.ToString();
    }
  }
  LineCharacter c = LineCharacter::Of(0x41, F(9600, 8, Parity::Even));
  c.badParity = true;
  EXPECT_EQ(Sample(c, c.frame), (ReceivedCharacter{0x41, false, true})) << "inverted parity bit not detected";
  c.badParity = false;
  c.badStop = true;
  EXPECT_EQ(Sample(c, c.frame), (ReceivedCharacter{0x41, true, false})) << "missing stop bit not detected";
  LineCharacter eight = LineCharacter::Of(0xC1, F(9600));
  eight.badStop = true;
  EXPECT_EQ(Sample(eight, F(9600, 7)), (ReceivedCharacter{0x41, false, false}))
      << "a 7N1 receiver takes data bit 7 as its stop bit";
  EXPECT_EQ(Sample(LineCharacter::Of(0x54, F(9615.38)), F(9600))->data, 0x54)
      << "0.16% off must still decode";
  // Half a bit of error accumulated at the stop-bit sample (5.26% for 8N1) loses the character,
  // even where the sample happens to find a mark.
  EXPECT_FALSE(Sample(LineCharacter::Of(0xFF, F(9600 * 1.05)), F(9600))->framingError);
  EXPECT_TRUE(Sample(LineCharacter::Of(0xFF, F(9600 * 1.055)), F(9600))->framingError);
  EXPECT_FALSE(Sample(LineCharacter::Of(0xFF, F(9600 / 1.05)), F(9600))->framingError);
  EXPECT_TRUE(Sample(LineCharacter::Of(0xFF, F(9600 / 1.06)), F(9600))->framingError);
  EXPECT_FALSE(Sample(LineCharacter::Of(0x1F, F(9600 * 1.07, 5)), F(9600, 5))->framingError)
      << "a 5N1 frame tolerates 7.7%";
  auto slow = Sample(LineCharacter::Of(0xFF, F(9600)), F(1200));
  EXPECT_TRUE(!slow || slow->framingError) << "a much slower receiver must not see a clean character";
}

TEST(ScriptedPeerLine, SendsBackToBackRecordsWhatItReceivesAndAnswersIt) {
  ManualClock clock;
  struct Sink : emu::line::SerialEnd {
    explicit Sink(ManualClock& c) : clock(c) {}
    ManualClock& clock;
    std::vector<std::pair<emu::VirtualTime, uint8_t>> got;
    emu::line::ModemInputs inputs;
    void OnReceive(const LineCharacter& c) override { got.emplace_back(clock.Now(), c.data); }
    void OnBreak(bool) override {}
    void OnModemInputs(const emu::line::ModemInputs& in) override { inputs = in; }
    void OnUnplugged() override {}
  } sink(clock);
  ScriptedPeer a(clock, F(115200));
  a.Attach(&sink);
  a.Send("abc");
  clock.RunUntilIdle();
  ASSERT_EQ(sink.got.size(), 3u);
  EXPECT_EQ(sink.got[0].first, 868) << "10 bits at 115200 (868.06 units) rounded";
  EXPECT_EQ(sink.got[2].first, 2604) << "three characters measured from the burst start";
  EXPECT_TRUE(a.SendIdle());

  a.DriveDcd(true);
  EXPECT_TRUE(sink.inputs.dcd) << "driven inputs must reach the attached end";
  a.OnCharacter(
      [&](const ScriptedPeer::Received& r) { a.Send(std::string(1, char(std::toupper(r.character.data)))); });
  a.Transmit(LineCharacter::Of('k', F(115200)));
  EXPECT_EQ(a.ReceivedBytes(), std::vector<uint8_t>{'k'});
  clock.RunUntilIdle();
  EXPECT_EQ(sink.got.back().second, 'K') << "the peer's answer to what it received";
  a.SetModemOutputs({.dtr = true, .rts = false, .out1 = false});
  EXPECT_TRUE(a.EndOutputs().dtr);
  EXPECT_GE(a.Events().size(), 5u) << "every crossing of the line must be recorded";
}

TEST(ManualClockQueue, RunsEventsInDueOrderAndCancels) {
  ManualClock clock;
  std::string order;
  clock.Schedule(20, [&] { order += 'b'; });
  auto id = clock.Schedule(15, [&] { order += 'x'; });
  clock.Schedule(10, [&] {
    order += 'a';
    clock.Schedule(20, [&] { order += 'c'; });
  });
  EXPECT_TRUE(clock.Cancel(id));
  clock.AdvanceTo(19);
  EXPECT_EQ(order, "a");
  EXPECT_EQ(clock.Now(), 19);
  clock.RunUntilIdle();
  EXPECT_EQ(order, "abc") << "ties must run in scheduling order";
}

TEST(LifetimeGuardTest, CallbacksOfAGoneModelDoNothingEvenWhenItsSlotIsTakenAgain) {
  ManualClock clock;
  std::string ran;
  auto first = std::make_unique<emu::line::LifetimeGuard>();
  clock.Schedule(10, first->Guard([&] { ran += 'a'; }));
  clock.Schedule(10, first->Guard([&] { ran += 'b'; }));
  first.reset();
  // A model built after the first one is gone may take over its slot; the first one's
  // callbacks must still be dead while the new one's run.
  std::vector<std::unique_ptr<emu::line::LifetimeGuard>> later;
  for (int i = 0; i < 4; ++i) {
    later.push_back(std::make_unique<emu::line::LifetimeGuard>());
    clock.Schedule(20, later.back()->Guard([&ran, i] { ran += static_cast<char>('0' + i); }));
  }
  later[2].reset();
  clock.RunUntilIdle();
  EXPECT_EQ(ran, "013") << "only the callbacks of models still alive may run";
}

}  // namespace
