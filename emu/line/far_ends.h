// The far ends a line can have: a loopback plug, a null-modem cable to another UART, and a peer
// driven by a test.
#pragma once

#include <span>
#include <string_view>

#include "line/line_sender.h"
#include "line/serial_line.h"

namespace emu::line {

// A plug on the connector: TX to RX, RTS to CTS, DTR to DSR and DCD; RI stays off unless the
// plug also wires it to DTR.
class LoopbackPlug final : public SerialLine {
 public:
  explicit LoopbackPlug(Clock& clock = Clock::Kernel(), bool riFromDtr = false)
      : clock_(clock), riFromDtr_(riFromDtr) {}
  ~LoopbackPlug() override {
    if (end_) end_->OnUnplugged();
  }
  LoopbackPlug(const LoopbackPlug&) = delete;
  LoopbackPlug& operator=(const LoopbackPlug&) = delete;

  void Attach(SerialEnd* end) override { end_ = end; }
  void Transmit(const LineCharacter& c) override;
  void SetBreak(bool on) override;
  void SetModemOutputs(const ModemOutputs& outputs) override;
  ModemInputs CurrentInputs() const override { return inputs_; }

  // What crossed the plug while recording was on. Off by default: a long run would keep every
  // character it ever carried.
  const std::vector<LineEvent>& Events() const { return events_; }
  void Record(bool on) { recording_ = on; }

 private:
  Clock& clock_;
  bool riFromDtr_;
  SerialEnd* end_ = nullptr;
  ModemInputs inputs_;
  bool recording_ = false;
  std::vector<LineEvent> events_;
};

// A full null-modem cable between two ends A and B: each side's TX to the other's RX, RTS to the
// other's CTS, DTR to the other's DSR and DCD; RI stays off.
class NullModemCable {
 public:
  explicit NullModemCable(Clock& clock = Clock::Kernel());
  ~NullModemCable();
  NullModemCable(const NullModemCable&) = delete;
  NullModemCable& operator=(const NullModemCable&) = delete;

  SerialLine& SideA() { return sides_[0]; }
  SerialLine& SideB() { return sides_[1]; }
  // What crossed the cable while recording was on (off by default, as for the plug).
  const std::vector<LineEvent>& Events() const { return events_; }
  void Record(bool on) { recording_ = on; }

 private:
  class Side final : public SerialLine {
   public:
    void Attach(SerialEnd* end) override { end_ = end; }
    void Transmit(const LineCharacter& c) override;
    void SetBreak(bool on) override;
    void SetModemOutputs(const ModemOutputs& outputs) override;
    ModemInputs CurrentInputs() const override { return inputs_; }

    NullModemCable* cable = nullptr;
    int index = 0;
    SerialEnd* end_ = nullptr;
    ModemInputs inputs_;
    Side& Other() { return cable->sides_[1 - index]; }
  };

  Clock& clock_;
  Side sides_[2];
  bool recording_ = false;
  std::vector<LineEvent> events_;
};

// A far end played by a test: it sends bytes or raw characters at its own rate and format, holds
// a break, drives the modem inputs the attached end sees, and records what it receives (sampled
// with its own rate and format) together with the attached end's outputs and breaks.
class ScriptedPeer final : public SerialLine {
 public:
  struct Received {
    VirtualTime time = 0;
    ReceivedCharacter character;
    LineCharacter raw;
  };

  explicit ScriptedPeer(Clock& clock = Clock::Kernel(), Frame frame = {});
  ~ScriptedPeer() override;
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // --- SerialLine: the attached end's side ---------------------------------------------------
  void Attach(SerialEnd* end) override;
  void Transmit(const LineCharacter& c) override;
  void SetBreak(bool on) override;
  void SetModemOutputs(const ModemOutputs& outputs) override;
  ModemInputs CurrentInputs() const override { return inputs_; }

  // --- The test's side -----------------------------------------------------------------------
  // The peer's own rate and format, for what it sends next and for sampling what it receives.
  void SetFrame(const Frame& frame) { frame_ = frame; }
  const Frame& GetFrame() const { return frame_; }

  // Queues bytes; they go out back to back in the peer's frame, starting now if the wire is free.
  void Send(std::span<const uint8_t> bytes);
  void Send(std::string_view text);
  // Queues one character as given (its own frame and fault flags; start and end are set when
  // it is sent).
  void SendCharacter(const LineCharacter& c);
  bool SendIdle() const { return sender_.Idle(); }

  // Holds the peer's transmit wire in a break (waits for a character in flight to end first).
  void DriveBreak(bool on);
  // The modem inputs the attached end sees.
  void DriveInputs(const ModemInputs& inputs);
  void DriveCts(bool on);
  void DriveDsr(bool on);
  void DriveRi(bool on);
  void DriveDcd(bool on);

  const std::vector<Received>& ReceivedCharacters() const { return received_; }
  std::vector<uint8_t> ReceivedBytes() const;
  void ClearReceived() { received_.clear(); }
  // Called for every character received, after it is recorded (e.g. to answer it).
  void OnCharacter(std::function<void(const Received&)> fn) { onCharacter_ = std::move(fn); }

  ModemOutputs EndOutputs() const { return outputs_; }
  bool EndBreak() const { return endBreak_; }
  const std::vector<LineEvent>& Events() const { return events_; }

 private:
  void Record(LineEvent e);

  Clock& clock_;
  Frame frame_;
  SerialEnd* end_ = nullptr;
  ModemInputs inputs_;
  ModemOutputs outputs_;
  bool endBreak_ = false;
  LineSender sender_;
  std::vector<Received> received_;
  std::function<void(const Received&)> onCharacter_;
  std::vector<LineEvent> events_;
};

}  // namespace emu::line
