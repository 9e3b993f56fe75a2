// emu::Kernel: construction, the current-machine pointer, the public running interface and the
// bug check. The scheduler itself lives in scheduler.cpp.
#include "nt/kernel.h"

#include "nt/scheduler.h"
#include "nt/verifier.h"

#include <cstdio>
#include <stdexcept>

namespace emu {

namespace {
Kernel* g_kernel = nullptr;

std::string Hex(ULONG_PTR v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}
}  // namespace

Kernel::Impl& K() {
  if (!g_kernel) throw std::logic_error("no emulated kernel: construct an emu::Kernel first");
  return g_kernel->impl();
}

Kernel::Impl* KOrNull() { return g_kernel ? &g_kernel->impl() : nullptr; }

BugCheckError::BugCheckError(ULONG code_, const ULONG_PTR (&params_)[4], std::string context_,
                             std::string report_)
    : std::runtime_error(report_),
      code(code_),
      params{params_[0], params_[1], params_[2], params_[3]},
      context(std::move(context_)),
      report(std::move(report_)) {}

Kernel::Kernel(KernelConfig config) {
  if (g_kernel) throw std::logic_error("an emulated kernel already exists in this process");
  g_kernel = this;
  try {
    impl_ = std::make_unique<Impl>(*this, config);
  } catch (...) {
    g_kernel = nullptr;
    throw;
  }
}

Kernel::~Kernel() {
  impl_.reset();
  if (g_kernel == this) g_kernel = nullptr;
}

Kernel& Kernel::Current() {
  if (!g_kernel) throw std::logic_error("no emulated kernel: construct an emu::Kernel first");
  return *g_kernel;
}

Kernel* Kernel::CurrentOrNull() { return g_kernel; }

const KernelConfig& Kernel::Config() const { return impl_->config; }

Kernel::ContextId Kernel::StartApplicationThread(std::string name, std::function<void()> body) {
  return impl_->NewContext(std::move(name), ContextKind::Application, std::move(body))->id;
}

Kernel::ContextId Kernel::StartSystemThread(std::string name, std::function<void()> body) {
  return impl_->NewContext(std::move(name), ContextKind::System, std::move(body))->id;
}

bool Kernel::ContextFinished(ContextId id) const {
  if (id == 0 || id >= impl_->nextContextId) throw std::out_of_range("unknown context id");
  const Context* c = impl_->FindContext(id);
  return !c || c->state == RunState::Finished;
}

void Kernel::Run() {
  impl_->Schedule(nullptr, kForever);
  impl_->CheckStackBudgets();
}

bool Kernel::RunUntil(const std::function<bool()>& done, VirtualTime limit) {
  const std::function<bool()>& peek = hb::Peek(done);
  bool result = impl_->Schedule(&peek, limit);
  impl_->CheckStackBudgets();
  return result;
}

void Kernel::RunFor(VirtualTime duration) {
  VirtualTime limit = duration >= kForever - impl_->now ? kForever : impl_->now + duration;
  impl_->Schedule(nullptr, limit);
  impl_->CheckStackBudgets();
}

void Kernel::RunInSystemThread(std::string name, std::function<void()> body) {
  ContextId id = StartSystemThread(name, std::move(body));
  std::function<bool()> done = [this, id] { return ContextFinished(id); };
  bool finished = impl_->Schedule(&done, kForever);
  impl_->CheckStackBudgets();
  if (!finished) {
    throw std::runtime_error("system thread '" + name +
                             "' cannot finish: every context is blocked\n" +
                             impl_->DescribeContexts());
  }
}

VirtualTime Kernel::Now() const { return impl_->now; }

Kernel::EventId Kernel::ScheduleDeviceEvent(VirtualTime due, std::function<void()> fn) {
  return impl_->InsertDeviceEvent(due < impl_->now ? impl_->now : due, std::move(fn));
}

bool Kernel::CancelDeviceEvent(EventId id) { return impl_->CancelDeviceEvent(id); }

void Kernel::PostFromAnyThread(std::function<void()> fn) {
  Impl& k = *impl_;
  {
    std::lock_guard<std::mutex> lock(k.postMutex);
    k.posted.push_back(std::move(fn));
    k.postedPending = true;
    k.postedFlag = true;
  }
  k.postCv.notify_all();
}

void Kernel::SwitchPoint() { impl_->SwitchPoint(); }
bool Kernel::InContext() const { return impl_->current != nullptr; }
std::string Kernel::CurrentContextName() const { return impl_->ContextName(); }
KIRQL Kernel::CurrentIrql() const { return impl_->Irql(); }
std::string Kernel::DescribeContexts() const { return impl_->DescribeContexts(); }
uint64_t Kernel::ContextSwitches() const { return impl_->switches; }
uint64_t Kernel::ChoicePoints() const { return impl_->choicePoints; }
unsigned Kernel::ProcessorCount() const { return impl_->ProcessorCount(); }

void KernelCall() {
  if (Kernel::Impl* k = KOrNull()) k->Call();
}

void Kernel::BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  Impl& k = *impl_;
  const ULONG_PTR params[4] = {p1, p2, p3, p4};
  std::string context = k.ContextName();
  k.TraceF("bugcheck", "STOP 0x%08X (%s, %s, %s, %s) %s", static_cast<unsigned>(code),
           Hex(p1).c_str(), Hex(p2).c_str(), Hex(p3).c_str(), Hex(p4).c_str(),
           verifier::BugCheckName(code));
  char head[160];
  std::snprintf(head, sizeof head, "*** STOP: 0x%08X (%s, %s, %s, %s)\n%s\n",
                static_cast<unsigned>(code), Hex(p1).c_str(), Hex(p2).c_str(), Hex(p3).c_str(),
                Hex(p4).c_str(), verifier::BugCheckName(code));
  std::string report = head;
  std::string detail = verifier::DescribeBugCheck(code, params);
  if (!detail.empty()) report += detail + "\n";
  char where[256];
  std::snprintf(where, sizeof where,
                "context: %s at %.4f ms, IRQL %u; seed %llu, %s processor model (%u processors), "
                "%s scheduler\n",
                context.c_str(), static_cast<double>(k.now) / kMillisecond,
                static_cast<unsigned>(k.Irql()), static_cast<unsigned long long>(k.config.seed),
                k.config.processors == ProcessorModel::Uniprocessor ? "uniprocessor"
                                                                    : "multiprocessor",
                k.ProcessorCount(),
                k.config.scheduler == SchedulerKind::Pct ? "PCT" : "random");
  report += where;
  report += "last trace events:\n";
  report += FormatTrace(40);
  k.dead = true;
  if (!k.bugCheck) k.bugCheck = std::make_unique<BugCheckError>(code, params, context, report);
  throw BugCheckError(code, params, std::move(context), std::move(report));
}

bool Kernel::ShouldFailPoolAllocation() { return impl_->poolFailures.Next(); }
bool Kernel::ShouldFailIrpAllocation() {
  const void* site = impl_->irpAllocationSite;
  impl_->irpAllocationSite = nullptr;
  return impl_->ShouldFail(impl_->irpFailures, "irp", site);
}
void Kernel::NoteIrpAllocationSite(const void* site) { impl_->irpAllocationSite = site; }
bool Kernel::ShouldFailThreadCreation() { return impl_->threadFailures.Next(); }

void Kernel::FailPoolAllocations(uint32_t n, uint32_t skip) {
  impl_->poolFailures.fail = n;
  impl_->poolFailures.skip = skip;
}
void Kernel::FailIrpAllocations(uint32_t n, uint32_t skip) {
  impl_->irpFailures.fail = n;
  impl_->irpFailures.skip = skip;
}
void Kernel::FailThreadCreations(uint32_t n, uint32_t skip) {
  impl_->threadFailures.fail = n;
  impl_->threadFailures.skip = skip;
}

bool Kernel::Impl::Failures::Next() {
  if (fail > 0) {
    if (skip > 0) {
      --skip;
      return false;
    }
    --fail;
    return true;
  }
  if (percent == 0) return false;
  return rng() % 100 < percent;
}

std::vector<Kernel::PoolBlock> Kernel::LivePoolBlocks() const {
  std::vector<PoolBlock> out;
  out.reserve(impl_->livePool.size());
  for (const auto& [addr, info] : impl_->livePool)
    out.push_back(PoolBlock{reinterpret_cast<const void*>(addr), info.size, info.tag, info.type});
  return out;
}

void Kernel::VerifyNoPoolAtUnload(const char* driverName) {
  Impl& k = *impl_;
  k.CheckPoolCanaries();
  if (k.livePool.empty()) return;
  // Pool tracking reports the blocks left per tag: how many and how many bytes.
  struct Left {
    size_t blocks = 0;
    size_t bytes = 0;
  };
  std::map<ULONG, Left> byTag;
  for (const auto& [addr, info] : k.livePool) {
    Left& left = byTag[info.tag];
    ++left.blocks;
    left.bytes += info.size;
  }
  std::string list;
  for (const auto& [tagValue, left] : byTag) {
    char tag[5];
    for (int i = 0; i < 4; ++i) {
      char ch = static_cast<char>((tagValue >> (8 * i)) & 0xFF);
      tag[i] = ch >= 0x20 && ch < 0x7F ? ch : '.';
    }
    tag[4] = 0;
    char item[80];
    std::snprintf(item, sizeof item, " '%s': %zu block%s, %zu bytes;", tag, left.blocks,
                  left.blocks == 1 ? "" : "s", left.bytes);
    list += item;
  }
  k.TraceF("pool", "%s unloading with %zu pool blocks allocated:%s", driverName ? driverName : "?",
           k.livePool.size(), list.c_str());
  BugCheck(bugcheck::kDriverVerifierDetectedViolation, 0x62,
           reinterpret_cast<ULONG_PTR>(driverName), 0, k.livePool.size());
}

}  // namespace emu
