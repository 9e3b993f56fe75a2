// The kernel trace: {virtual time, context, category, text} events, formatted for a person.
#include "nt/scheduler.h"

#include <cstdarg>
#include <cstdio>

namespace emu {

void Kernel::Impl::TraceF(const char* category, const char* fmt, ...) {
  if (!traceEnabled) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  owner.Trace(category, buf);
}

void Kernel::Trace(std::string_view category, std::string text) {
  Impl& k = *impl_;
  if (!k.traceEnabled) return;
  if (k.trace.size() >= k.traceCapacity) {
    // Drop the older half in one go (amortised constant cost per event).
    k.trace.erase(k.trace.begin(), k.trace.begin() + static_cast<ptrdiff_t>(k.trace.size() / 2));
  }
  k.trace.push_back(TraceEvent{k.now, k.ContextName(), std::string(category), std::move(text)});
}

const std::vector<TraceEvent>& Kernel::TraceEvents() const { return impl_->trace; }

std::string Kernel::FormatTrace(size_t lastN) const {
  const auto& events = impl_->trace;
  size_t first = lastN >= events.size() ? 0 : events.size() - lastN;
  std::string out;
  out.reserve((events.size() - first) * 64);
  for (size_t i = first; i < events.size(); ++i) {
    const TraceEvent& e = events[i];
    char head[96];
    std::snprintf(head, sizeof head, "%14.4f ms  %-14s %-8s ",
                  static_cast<double>(e.time) / kMillisecond, e.context.c_str(),
                  e.category.c_str());
    out += head;
    out += e.text;
    out += '\n';
  }
  return out;
}

void Kernel::SetTraceEnabled(bool enabled) { impl_->traceEnabled = enabled; }
bool Kernel::TraceEnabled() const { return impl_->traceEnabled; }
void Kernel::SetTraceCapacity(size_t events) { impl_->traceCapacity = events < 2 ? 2 : events; }

}  // namespace emu
