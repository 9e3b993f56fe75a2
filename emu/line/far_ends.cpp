#include "line/far_ends.h"

namespace emu::line {

namespace {

// How a plug or a null-modem cable wires one end's outputs to the inputs of the end that
// receives them.
ModemInputs CrossWired(const ModemOutputs& o, bool riFromDtr = false) {
  ModemInputs in;
  in.cts = o.rts;
  in.dsr = o.dtr;
  in.dcd = o.dtr;
  in.ri = riFromDtr && o.dtr;
  return in;
}

LineEvent CharacterEvent(VirtualTime t, int side, const LineCharacter& c) {
  LineEvent e;
  e.time = t;
  e.side = side;
  e.kind = LineEvent::Kind::Character;
  e.character = c;
  return e;
}

LineEvent BreakEvent(VirtualTime t, int side, bool on) {
  LineEvent e;
  e.time = t;
  e.side = side;
  e.kind = LineEvent::Kind::Break;
  e.on = on;
  return e;
}

LineEvent OutputsEvent(VirtualTime t, int side, const ModemOutputs& o) {
  LineEvent e;
  e.time = t;
  e.side = side;
  e.kind = LineEvent::Kind::Outputs;
  e.outputs = o;
  return e;
}

}  // namespace

// --- LoopbackPlug ----------------------------------------------------------------------------

void LoopbackPlug::Transmit(const LineCharacter& c) {
  if (recording_) events_.push_back(CharacterEvent(clock_.Now(), 0, c));
  if (end_) end_->OnReceive(c);
}

void LoopbackPlug::SetBreak(bool on) {
  if (recording_) events_.push_back(BreakEvent(clock_.Now(), 0, on));
  if (end_) end_->OnBreak(on);
}

void LoopbackPlug::SetModemOutputs(const ModemOutputs& outputs) {
  if (recording_) events_.push_back(OutputsEvent(clock_.Now(), 0, outputs));
  ModemInputs in = CrossWired(outputs, riFromDtr_);
  if (in == inputs_) return;
  inputs_ = in;
  if (end_) end_->OnModemInputs(inputs_);
}

// --- NullModemCable --------------------------------------------------------------------------

NullModemCable::NullModemCable(Clock& clock) : clock_(clock) {
  for (int i = 0; i < 2; ++i) {
    sides_[i].cable = this;
    sides_[i].index = i;
  }
}

NullModemCable::~NullModemCable() {
  for (Side& s : sides_) {
    if (s.end_) s.end_->OnUnplugged();
  }
}

void NullModemCable::Side::Transmit(const LineCharacter& c) {
  if (cable->recording_) cable->events_.push_back(CharacterEvent(cable->clock_.Now(), index, c));
  if (Other().end_) Other().end_->OnReceive(c);
}

void NullModemCable::Side::SetBreak(bool on) {
  if (cable->recording_) cable->events_.push_back(BreakEvent(cable->clock_.Now(), index, on));
  if (Other().end_) Other().end_->OnBreak(on);
}

void NullModemCable::Side::SetModemOutputs(const ModemOutputs& outputs) {
  if (cable->recording_) cable->events_.push_back(OutputsEvent(cable->clock_.Now(), index, outputs));
  Side& other = Other();
  ModemInputs in = CrossWired(outputs);
  if (in == other.inputs_) return;
  other.inputs_ = in;
  if (other.end_) other.end_->OnModemInputs(in);
}

// --- ScriptedPeer ----------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(Clock& clock, Frame frame)
    : clock_(clock),
      frame_(frame),
      sender_(
          clock,
          [this](const LineCharacter& c) {
            Record(CharacterEvent(clock_.Now(), 1, c));
            if (end_) end_->OnReceive(c);
          },
          [this](bool on) {
            Record(BreakEvent(clock_.Now(), 1, on));
            if (end_) end_->OnBreak(on);
          }) {}

ScriptedPeer::~ScriptedPeer() {
  if (end_) end_->OnUnplugged();
}

void ScriptedPeer::Record(LineEvent e) { events_.push_back(std::move(e)); }

void ScriptedPeer::Attach(SerialEnd* end) { end_ = end; }

void ScriptedPeer::Transmit(const LineCharacter& c) {
  Record(CharacterEvent(clock_.Now(), 0, c));
  std::optional<ReceivedCharacter> r = Sample(c, frame_);
  if (!r) return;
  received_.push_back(Received{clock_.Now(), *r, c});
  if (onCharacter_) onCharacter_(received_.back());
}

void ScriptedPeer::SetBreak(bool on) {
  Record(BreakEvent(clock_.Now(), 0, on));
  endBreak_ = on;
}

void ScriptedPeer::SetModemOutputs(const ModemOutputs& outputs) {
  Record(OutputsEvent(clock_.Now(), 0, outputs));
  outputs_ = outputs;
}

void ScriptedPeer::Send(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) sender_.Queue(LineCharacter::Of(b, frame_));
}

void ScriptedPeer::Send(std::string_view text) {
  Send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void ScriptedPeer::SendCharacter(const LineCharacter& c) { sender_.Queue(c); }

void ScriptedPeer::DriveBreak(bool on) { sender_.Break(on); }

void ScriptedPeer::DriveInputs(const ModemInputs& inputs) {
  if (inputs == inputs_) return;
  inputs_ = inputs;
  LineEvent e;
  e.time = clock_.Now();
  e.side = 1;
  e.kind = LineEvent::Kind::Inputs;
  e.inputs = inputs;
  Record(e);
  if (end_) end_->OnModemInputs(inputs_);
}

void ScriptedPeer::DriveCts(bool on) {
  ModemInputs in = inputs_;
  in.cts = on;
  DriveInputs(in);
}

void ScriptedPeer::DriveDsr(bool on) {
  ModemInputs in = inputs_;
  in.dsr = on;
  DriveInputs(in);
}

void ScriptedPeer::DriveRi(bool on) {
  ModemInputs in = inputs_;
  in.ri = on;
  DriveInputs(in);
}

void ScriptedPeer::DriveDcd(bool on) {
  ModemInputs in = inputs_;
  in.dcd = on;
  DriveInputs(in);
}

std::vector<uint8_t> ScriptedPeer::ReceivedBytes() const {
  std::vector<uint8_t> out;
  out.reserve(received_.size());
  for (const Received& r : received_) out.push_back(r.character.data);
  return out;
}

}  // namespace emu::line
