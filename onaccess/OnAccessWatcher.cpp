#include "onaccess/OnAccessWatcher.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "logging/ServiceEvents.hpp"
#include "onaccess/ChangedFileWalk.hpp"
#include "platform/CurrentProcess.hpp"

namespace norvid::onaccess {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = platform::FileAccessEvent::Kind;

// Scans in flight at most: this many for any job, and one more kept for program starts alone.
constexpr int kScanWorkers = 4;
// Files waiting for a scan, one entry per path; only the first ones keep their open file, as each
// holds a descriptor.
constexpr std::size_t kQueueCapacity = 65536;
constexpr std::size_t kOpenCapacity = 2048;
// A file rewritten without pause is scanned at most this often.
constexpr std::chrono::milliseconds kRescanInterval{250};
// Each held start keeps a descriptor open; beyond this many, new starts are let go at once.
constexpr std::size_t kMaxHeldStarts = 4096;
constexpr std::size_t kDeferredCapacity = 4096;
constexpr std::size_t kCacheCapacity = 16384;
constexpr std::chrono::seconds kCacheLifetime{60};
// A file closed after writing may be large; its scan holds nobody, so it may take longer.
constexpr std::chrono::seconds kWriteScanTimeout{30};
constexpr std::chrono::milliseconds kPollSlice{100};
constexpr std::chrono::seconds kReconnectEvery{1};
constexpr std::chrono::milliseconds kProbeTimeout{2000};
// A scan without an answer is asked for again after this pause, doubled each time up to the
// longest.
constexpr std::chrono::milliseconds kFirstRetry{500};
constexpr std::chrono::milliseconds kLongestRetry{60000};
constexpr std::size_t kRecentNames = 4096;
// A walk after lost events looks at this many directory entries at most.
constexpr std::size_t kCatchUpLimit = 2'000'000;
// The walk queues files only while fewer than this many wait, so it never crowds out events.
constexpr std::size_t kCatchUpBacklog = kOpenCapacity / 2;
constexpr char kDeletedMark[] = " (deleted)";

std::int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<std::string> resolvedDirectories(const std::vector<std::string>& directories) {
  std::vector<std::string> resolved;
  for (const std::string& directory : directories) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::weakly_canonical(directory, error);
    resolved.push_back(error ? directory : path.string());
  }
  return resolved;
}

}  // namespace

OnAccessWatcher::OnAccessWatcher(WatchOptions options, std::string socketPath, std::ostream& out,
                                 std::ostream& err)
    : options_(std::move(options)),
      console_(out, err),
      filter_(resolvedDirectories(options_.watched), resolvedDirectories(options_.excluded)),
      link_(std::move(socketPath)),
      queue_(kQueueCapacity, kRescanInterval, kOpenCapacity),
      cache_(kCacheCapacity, kCacheLifetime),
      ownPid_(platform::currentProcessId()) {}

OnAccessWatcher::~OnAccessWatcher() {
  wakeEveryone();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  if (reconnector_.joinable()) reconnector_.join();
  if (catchUp_.joinable()) catchUp_.join();
}

void OnAccessWatcher::say(ConsoleWriter::Stream stream, std::string line) {
  console_.write(stream, std::move(line));
}

std::string OnAccessWatcher::seconds() const {
  char text[32];
  std::snprintf(text, sizeof text, "%g", options_.verdictTimeout.count() / 1000.0);
  return text;
}

bool OnAccessWatcher::startWatching() {
  platform::Result<platform::FileAccessMonitor> opened =
      platform::FileAccessMonitor::open(options_.blockExec);
  if (!opened) {
    say(ConsoleWriter::Stream::Err,
        "[ERROR] No se pudo iniciar la vigilancia (fanotify): " + opened.message());
    return false;
  }
  platform::FileAccessMonitor monitor = std::move(*opened);
  int watched = 0;
  for (const std::string& directory : filter_.watched()) {
    std::error_code missing;
    if (!std::filesystem::is_directory(directory, missing)) {
      say(ConsoleWriter::Stream::Err,
          "[WARN] Directorio no disponible, no se vigila: " + directory);
      continue;
    }
    if (platform::Result<int> marked = monitor.watchTree(directory); !marked) {
      say(ConsoleWriter::Stream::Err,
          "[WARN] No se pudo vigilar " + directory + ": " + marked.message());
      continue;
    }
    ++watched;
    say(ConsoleWriter::Stream::Out, "[INFO] Vigilando: " + directory);
    if (platform::Result<int> names = monitor.watchNames(directory); !names) {
      say(ConsoleWriter::Stream::Err,
          "[WARN] No se vigilan los nombres nuevos (enlaces, archivos "
          "movidos) en " +
              directory + ": " + names.message());
    }
  }
  if (watched == 0) {
    say(ConsoleWriter::Stream::Err, "[ERROR] No se pudo vigilar ningún directorio");
    return false;
  }
  for (const std::string& directory : filter_.excluded()) {
    say(ConsoleWriter::Stream::Out, "[INFO] Excluido: " + directory);
  }
  if (options_.blockExec) {
    say(ConsoleWriter::Stream::Out,
        "[INFO] Bloqueo de ejecución activo (veredicto en " + seconds() + " s como máximo)");
  }
  std::lock_guard lock(monitorMutex_);
  monitor_ = std::move(monitor);
  return true;
}

int OnAccessWatcher::run() {
  say(ConsoleWriter::Stream::Out, "[*] Iniciando protección en tiempo real...");
  // Asked before any mark is placed: once marked, program starts wait for this thread's loop.
  if (link_.probe(kProbeTimeout, &stopping_)) {
    noteServiceUp();
  } else {
    noteServiceDown("no responde");
  }
  seenAllAtNs_ = wallClockNs();
  if (!startWatching()) return 1;
  for (int i = 0; i < kScanWorkers; ++i) workers_.emplace_back([this] { scanLoop(false); });
  if (options_.blockExec) workers_.emplace_back([this] { scanLoop(true); });
  reconnector_ = std::thread([this] { reconnectLoop(); });
  catchUp_ = std::thread([this] { catchUpLoop(); });
  say(ConsoleWriter::Stream::Out, "[OK] Protección en tiempo real activa");

  bool failed = false;
  while (!stopping_.load()) {
    const std::int64_t readAt = wallClockNs();
    platform::Result<std::vector<platform::FileAccessEvent>> events =
        monitor_.waitForEvents(kPollSlice);
    if (events) {
      bool lostAny = false;
      for (platform::FileAccessEvent& event : *events) {
        lostAny = lostAny || event.kind == Kind::QueueOverflow || event.kind == Kind::ReadFailed;
        handle(event);
      }
      // Everything that happened before this read was in it: nothing before it can be lost now.
      if (monitor_.drained() && !lostAny) seenAllAtNs_ = readAt;
    }
    expireHeldStarts(false);
    if (!events) {
      say(ConsoleWriter::Stream::Err, "[ERROR] Lectura de eventos fallida: " + events.message());
      failed = true;
      break;
    }
  }

  say(ConsoleWriter::Stream::Out, "[*] Deteniendo protección en tiempo real...");
  // Every start still held is let go before anything else stops.
  expireHeldStarts(true);
  wakeEveryone();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  reconnector_.join();
  catchUp_.join();
  {
    std::lock_guard lock(monitorMutex_);
    monitor_.close();
  }
  const WatchSummary done = summary();
  say(ConsoleWriter::Stream::Out,
      "[INFO] Resumen: " + std::to_string(done.scanned) + " archivo(s) escaneado(s), " +
          std::to_string(done.threats) + " amenaza(s), " + std::to_string(done.quarantined) +
          " en cuarentena, " + std::to_string(done.denied) + " ejecución(es) bloqueada(s), " +
          std::to_string(done.allowedWithoutVerdict) + " permitida(s) sin veredicto");
  say(ConsoleWriter::Stream::Out,
      "[INFO] Eventos: " + std::to_string(done.withoutVerdict) + " sin veredicto del servicio, " +
          std::to_string(done.coalesced) + " agrupado(s), " + std::to_string(done.overflows) +
          " desbordamiento(s) de la cola del kernel, " + std::to_string(done.lost) +
          " perdido(s), " + std::to_string(done.refused) + " sin escanear por cola llena, " +
          std::to_string(done.folded) + " en cola sin descriptor, " + std::to_string(done.retried) +
          " reintento(s), " + std::to_string(done.catchUps) + " recuperación(es) con " +
          std::to_string(done.caughtUp) + " archivo(s)");
  say(ConsoleWriter::Stream::Out, "[OK] Protección en tiempo real detenida");
  console_.flush();
  return failed ? 1 : 0;
}

void OnAccessWatcher::wakeEveryone() {
  {
    std::lock_guard lock(reconnectMutex_);
    stopping_ = true;
  }
  reconnectWake_.notify_all();
  { std::lock_guard lock(catchUpMutex_); }
  catchUpWake_.notify_all();
  queue_.close();
}

void OnAccessWatcher::requestStop() {
  {
    std::lock_guard lock(reconnectMutex_);
    stopping_ = true;
  }
  reconnectWake_.notify_all();
  std::lock_guard lock(monitorMutex_);
  monitor_.wake();
}

WatchSummary OnAccessWatcher::summary() const {
  WatchSummary result;
  result.scanned = counters_.scanned;
  result.withoutVerdict = counters_.withoutVerdict;
  result.threats = counters_.threats;
  result.quarantined = counters_.quarantined;
  result.denied = counters_.denied;
  result.allowedWithoutVerdict = counters_.allowedWithoutVerdict;
  result.coalesced = counters_.coalesced;
  result.overflows = counters_.overflows;
  result.lost = counters_.lost;
  result.refused = counters_.refused;
  result.folded = counters_.folded;
  result.retried = counters_.retried;
  result.catchUps = counters_.catchUps;
  result.caughtUp = counters_.caughtUp;
  return result;
}

bool OnAccessWatcher::causedByUs(std::int32_t pid) const {
  return pid == ownPid_ || (pid != 0 && pid == link_.servicePid());
}

void OnAccessWatcher::handle(platform::FileAccessEvent& event) {
  switch (event.kind) {
    case Kind::QueueOverflow: {
      if (!event.detail.empty()) {
        say(ConsoleWriter::Stream::Err,
            "[WARN] Desbordamiento de la cola de nombres nuevos del kernel: se perdieron eventos");
        requestCatchUp();
        return;
      }
      const auto total = ++counters_.overflows;
      say(ConsoleWriter::Stream::Err,
          "[WARN] Desbordamiento de la cola de eventos del kernel: se perdieron eventos (" +
              std::to_string(total) + " en total)");
      requestCatchUp();
      return;
    }
    case Kind::ReadFailed: {
      const auto total = ++counters_.lost;
      if (total % 100 == 1) {
        say(ConsoleWriter::Stream::Err,
            "[WARN] No se pudieron leer eventos del kernel: " + event.detail + " (" +
                std::to_string(total) + " en total)");
      }
      requestCatchUp();
      return;
    }
    case Kind::ClosedAfterWrite:
      handleWrite(event);
      return;
    case Kind::NameCreated:
      handleName(event);
      return;
    case Kind::AboutToExecute:
      handleStart(event);
      return;
  }
}

void OnAccessWatcher::handleWrite(platform::FileAccessEvent& event) {
  if (causedByUs(event.pid) || !event.file.regular) return;
  cache_.forgetClean(event.file);
  if (event.path.empty()) return;
  std::string path = std::move(event.path);
  // The name the file was written under is gone, but it has another: a link made while it was
  // open for writing. The file is scanned all the same, under that name when it is known.
  const std::size_t markLength = sizeof kDeletedMark - 1;
  if (path.size() > markLength &&
      path.compare(path.size() - markLength, markLength, kDeletedMark) == 0) {
    if (std::string named = latestName(event.file); !named.empty()) path = std::move(named);
  }
  if (!filter_.covers(path)) return;
  queueWrite(path, event.file, std::make_shared<platform::FileHandle>(std::move(event.content)));
}

void OnAccessWatcher::handleName(platform::FileAccessEvent& event) {
  if (causedByUs(event.pid) || !event.file.regular || event.path.empty() ||
      !filter_.covers(event.path)) {
    return;
  }
  // A file created empty is scanned when it is closed after writing.
  if (event.file.size == 0) return;
  platform::Result<bool> writable = platform::openForWritingElsewhere(event.content.descriptor());
  if (writable && *writable) {
    // Still being written: the close after writing comes, maybe under this name only.
    rememberName(event.path, event.file);
    return;
  }
  queueWrite(event.path, event.file,
             std::make_shared<platform::FileHandle>(std::move(event.content)));
}

void OnAccessWatcher::rememberName(const std::string& path, const platform::FileStatus& identity) {
  std::lock_guard lock(namesMutex_);
  if (recentNames_.size() >= kRecentNames) recentNames_.clear();
  recentNames_[{identity.device, identity.inode}] = path;
}

std::string OnAccessWatcher::latestName(const platform::FileStatus& identity) {
  std::lock_guard lock(namesMutex_);
  auto found = recentNames_.find({identity.device, identity.inode});
  if (found == recentNames_.end()) return {};
  std::string path = std::move(found->second);
  recentNames_.erase(found);
  return path;
}

void OnAccessWatcher::queueWrite(const std::string& path, const platform::FileStatus& identity,
                                 OpenFile content) {
  if (service_.load() != ServiceState::Up) {
    defer(path, identity);
    return;
  }
  switch (queue_.add(path, identity, nullptr, std::move(content))) {
    case ScanQueue::Admission::Queued:
      return;
    case ScanQueue::Admission::Folded:
      ++counters_.folded;
      return;
    case ScanQueue::Admission::Coalesced:
      ++counters_.coalesced;
      return;
    case ScanQueue::Admission::Refused:
      if (++counters_.refused % 1000 == 1) {
        say(ConsoleWriter::Stream::Err, "[WARN] Cola de escaneo llena: se omite " + path);
      }
      requestCatchUp();
      return;
  }
}

void OnAccessWatcher::handleStart(platform::FileAccessEvent& event) {
  if (causedByUs(event.pid) || !event.file.regular || event.path.empty() ||
      !filter_.covers(event.path)) {
    event.permission.answer(true);
    return;
  }
  switch (cache_.lookup(event.file, Clock::now())) {
    case VerdictCache::Known::Clean:
      event.permission.answer(true);
      return;
    case VerdictCache::Known::Threat:
      deny(event.permission, event.path, "amenaza ya detectada");
      return;
    case VerdictCache::Known::Nothing:
      break;
  }
  if (service_.load() != ServiceState::Up) {
    allowWithoutVerdict(event.permission, event.path, "Servicio no disponible");
    return;
  }
  if (deadlines_.size() >= kMaxHeldStarts) {
    allowWithoutVerdict(event.permission, event.path, "Demasiadas ejecuciones en espera");
    return;
  }
  auto start = std::make_shared<platform::PermissionRequest>(std::move(event.permission));
  std::weak_ptr<platform::PermissionRequest> watched = start;
  OpenFile content;
  if (event.content.isOpen()) {
    content = std::make_shared<platform::FileHandle>(std::move(event.content));
  }
  if (queue_.add(event.path, event.file, start, std::move(content)) ==
      ScanQueue::Admission::Refused) {
    ++counters_.refused;
    allowWithoutVerdict(*start, event.path, "Cola de escaneo llena");
    return;
  }
  deadlines_.push_back({Clock::now() + options_.verdictTimeout, watched, event.path});
}

void OnAccessWatcher::expireHeldStarts(bool all) {
  const auto now = Clock::now();
  while (!deadlines_.empty()) {
    Deadline& front = deadlines_.front();
    std::shared_ptr<platform::PermissionRequest> start = front.start.lock();
    if (start && start->isPending()) {
      if (all) {
        if (start->answer(true)) {
          say(ConsoleWriter::Stream::Out,
              "[INFO] Ejecución pendiente permitida al detener: " + front.path);
        }
      } else if (front.at <= now) {
        allowWithoutVerdict(*start, front.path, "Sin veredicto en " + seconds() + " s");
      } else {
        return;
      }
    }
    deadlines_.pop_front();
  }
}

void OnAccessWatcher::allowWithoutVerdict(platform::PermissionRequest& start,
                                          const std::string& path, const std::string& reason) {
  if (!start.answer(true)) return;
  ++counters_.allowedWithoutVerdict;
  say(ConsoleWriter::Stream::Err, "[WARN] " + reason + ": se permite la ejecución de " + path);
}

void OnAccessWatcher::deny(platform::PermissionRequest& start, const std::string& path,
                           const std::string& threat, bool announced) {
  if (!start.answer(false)) return;
  ++counters_.denied;
  say(ConsoleWriter::Stream::Err, "[WARN] Ejecución bloqueada: " + path + " | " + threat);
  if (!announced) ServiceEvents::instance().programBlocked(path, threat);
}

void OnAccessWatcher::scanLoop(bool startsOnly) {
  while (std::optional<ScanJob> job = queue_.take(startsOnly)) scanOne(*job);
}

void OnAccessWatcher::scanOne(ScanJob& job) {
  if (!job.content) {
    // Queued without its open file (folded, deferred, found by a walk): opened by its path now,
    // never through a symbolic link at its end.
    platform::Result<platform::FileHandle> opened = platform::FileHandle::openForReading(job.path);
    platform::Result<platform::FileStatus> status =
        opened ? opened->status() : platform::Result<platform::FileStatus>(opened.failure());
    if (!status) {
      queue_.finish(job.path);
      ScanVerdict gone;
      gone.kind = ScanVerdict::Kind::NoVerdict;
      gone.detail = status.message();
      settle(job, gone);
      return;
    }
    job.identity = *status;
    job.content = std::make_shared<platform::FileHandle>(std::move(*opened));
  }
  const int descriptor = job.content->descriptor();
  const auto timeout =
      job.held.empty() ? std::chrono::duration_cast<std::chrono::milliseconds>(kWriteScanTimeout)
                       : options_.verdictTimeout;
  const std::int64_t scanStartNs = wallClockNs();
  // Starts already let through (their wait ran out before the scan) are no longer blocked.
  const bool startWaits = std::any_of(job.held.begin(), job.held.end(),
                                      [](const HeldStart& start) { return start->isPending(); });
  ScanVerdict verdict =
      link_.scan(job.path, descriptor, Clock::now() + timeout, &stopping_, startWaits);
  // Remembered before the path is released, so that a rescan queued meanwhile (a start of the
  // file the service has just quarantined) already knows the threat. Kept under the identity of
  // the file that was scanned, and a clean verdict only while nothing can have changed it unseen.
  if (verdict.kind == ScanVerdict::Kind::Threat) {
    cache_.remember(job.identity, VerdictCache::Known::Threat, Clock::now());
  } else if (verdict.kind == ScanVerdict::Kind::Clean) {
    platform::Result<platform::FileStatus> after = platform::statusOf(descriptor);
    platform::Result<bool> writable = platform::openForWritingElsewhere(descriptor);
    if (after &&
        VerdictCache::keepsClean(job.identity, *after, scanStartNs, !writable || *writable)) {
      cache_.remember(job.identity, VerdictCache::Known::Clean, Clock::now());
    }
  }
  queue_.finish(job.path);
  settle(job, verdict);
}

void OnAccessWatcher::retryLater(ScanJob job) {
  job.held.clear();
  auto delay = kFirstRetry * (1 << std::min(job.attempts, 7));
  if (delay > kLongestRetry) delay = kLongestRetry;
  ++job.attempts;
  ++counters_.retried;
  const std::string path = job.path;
  if (queue_.retry(std::move(job), delay) == ScanQueue::Admission::Refused && !stopping_.load()) {
    ++counters_.refused;
    requestCatchUp();
  }
}

void OnAccessWatcher::settle(const ScanJob& job, const ScanVerdict& verdict) {
  using VerdictKind = ScanVerdict::Kind;
  if (verdict.kind == VerdictKind::Threat) {
    noteServiceUp();
    ++counters_.scanned;
    ++counters_.threats;
    if (verdict.quarantined) ++counters_.quarantined;
    say(ConsoleWriter::Stream::Err,
        "[WARN] Amenaza detectada: " + job.path + " | " + verdict.detail +
            (verdict.quarantined ? " [CUARENTENA]" : " [NO CUARENTENADO]"));
    // The service heard that starts were held on this scan and announced the block itself.
    for (const HeldStart& start : job.held) deny(*start, job.path, verdict.detail, true);
    return;
  }
  // No threat in this answer, but the file may be one found infected a moment ago and gone
  // from its path since.
  if (!job.held.empty() &&
      cache_.lookup(job.identity, Clock::now()) == VerdictCache::Known::Threat) {
    for (const HeldStart& start : job.held) deny(*start, job.path, "amenaza ya detectada");
  }
  switch (verdict.kind) {
    case VerdictKind::Threat:
      return;
    case VerdictKind::Clean:
    case VerdictKind::NoVerdict:
      noteServiceUp();
      ++(verdict.kind == VerdictKind::Clean ? counters_.scanned : counters_.withoutVerdict);
      for (const HeldStart& start : job.held) start->answer(true);
      return;
    case VerdictKind::Unreachable:
      noteServiceDown(verdict.detail);
      // Scanned once the service is back.
      defer(job.path, job.identity);
      for (const HeldStart& start : job.held) {
        allowWithoutVerdict(*start, job.path, "Servicio no disponible");
      }
      return;
    case VerdictKind::TimedOut:
      if (job.held.empty()) {
        say(ConsoleWriter::Stream::Err,
            "[WARN] El servicio no respondió a tiempo sobre " + job.path + "; se volverá a pedir");
      }
      for (const HeldStart& start : job.held) {
        allowWithoutVerdict(*start, job.path, "Sin veredicto en " + seconds() + " s");
      }
      // Still without a verdict: asked again, and scanned as soon as the service answers.
      retryLater(job);
      return;
    case VerdictKind::Cancelled:
      for (const HeldStart& start : job.held) start->answer(true);
      return;
    case VerdictKind::Failed:
      say(ConsoleWriter::Stream::Err,
          "[WARN] No se pudo escanear " + job.path + ": " + verdict.detail);
      for (const HeldStart& start : job.held) {
        allowWithoutVerdict(*start, job.path, "Sin veredicto");
      }
      retryLater(job);
      return;
  }
}

void OnAccessWatcher::defer(const std::string& path, const platform::FileStatus& identity) {
  std::lock_guard lock(deferredMutex_);
  if (deferred_.size() >= kDeferredCapacity && deferred_.count(path) == 0) {
    ++counters_.refused;
    requestCatchUp();
    return;
  }
  deferred_[path] = identity;
}

void OnAccessWatcher::reconnectLoop() {
  std::unique_lock lock(reconnectMutex_);
  while (!stopping_.load()) {
    reconnectWake_.wait_for(lock, kReconnectEvery);
    if (stopping_.load() || service_.load() == ServiceState::Up) continue;
    lock.unlock();
    if (link_.probe(kProbeTimeout, &stopping_)) noteServiceUp();
    lock.lock();
  }
}

void OnAccessWatcher::noteServiceUp() {
  if (service_.exchange(ServiceState::Up) == ServiceState::Up) return;
  say(ConsoleWriter::Stream::Out, "[OK] Conectado al servicio en " + link_.socketPath() + " (pid " +
                                      std::to_string(link_.servicePid()) + ")");
  std::map<std::string, platform::FileStatus> waiting;
  {
    std::lock_guard lock(deferredMutex_);
    waiting.swap(deferred_);
  }
  if (!waiting.empty()) {
    say(ConsoleWriter::Stream::Out,
        "[INFO] Escaneando " + std::to_string(waiting.size()) +
            " archivo(s) escrito(s) mientras el servicio no estaba disponible");
  }
  for (const auto& [path, identity] : waiting) {
    if (queue_.add(path, identity) == ScanQueue::Admission::Refused) {
      ++counters_.refused;
      requestCatchUp();
    }
  }
}

void OnAccessWatcher::requestCatchUp() {
  {
    std::lock_guard lock(catchUpMutex_);
    const std::int64_t since = seenAllAtNs_.load();
    catchUpSinceNs_ = catchUpSinceNs_ == 0 ? since : std::min(catchUpSinceNs_, since);
  }
  catchUpWake_.notify_all();
}

void OnAccessWatcher::catchUpLoop() {
  platform::lowerCurrentThreadPriority();
  std::unique_lock lock(catchUpMutex_);
  for (;;) {
    catchUpWake_.wait(lock, [this] { return stopping_.load() || catchUpSinceNs_ != 0; });
    if (stopping_.load()) return;
    // A write within the file system's time granularity before that moment may carry a time
    // just before it.
    const std::int64_t since = catchUpSinceNs_ - VerdictCache::kTimeGranularityNs;
    catchUpSinceNs_ = 0;
    lock.unlock();
    ++counters_.catchUps;
    say(ConsoleWriter::Stream::Out,
        "[INFO] Se perdieron eventos: buscando archivos modificados en los directorios vigilados");
    const auto began = Clock::now();
    const ChangedFileWalk::Outcome walked = ChangedFileWalk::walk(
        filter_, since, kCatchUpLimit, stopping_,
        [this](const std::string& path, const platform::FileStatus& status) {
          // Queued only while the service takes scans, so the walk never fills the queue.
          while ((queue_.waiting() >= kCatchUpBacklog || service_.load() != ServiceState::Up) &&
                 !stopping_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
          ++counters_.caughtUp;
          queueWrite(path, status, nullptr);
        });
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    if (!stopping_.load()) {
      say(walked.cut ? ConsoleWriter::Stream::Err : ConsoleWriter::Stream::Out,
          std::string(walked.cut ? "[WARN] Recuperación interrumpida tras "
                                 : "[INFO] Recuperación: ") +
              std::to_string(walked.visited) + " entrada(s) revisada(s), " +
              std::to_string(walked.changed) + " archivo(s) modificado(s) puestos en cola en " +
              std::to_string(took) + " ms");
    }
    lock.lock();
  }
}

void OnAccessWatcher::noteServiceDown(const std::string& reason) {
  if (service_.exchange(ServiceState::Down) == ServiceState::Down) return;
  say(ConsoleWriter::Stream::Err, "[WARN] Servicio no disponible en " + link_.socketPath() + " (" +
                                      reason + "); se reintentará cada segundo");
}

}  // namespace norvid::onaccess
