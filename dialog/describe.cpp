#include "dialog/describe.h"

#include <gio/gio.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "common/batch.h"
#include "common/i18n.h"
#include "engine/graph.h"

namespace {

// How long a child may take over one file, its own start included: far more than the
// slowest file on a loaded machine, and short enough that a stuck one is given up soon.
constexpr int kDescribeLimitMs = 10000;
constexpr size_t kMaxReplyBytes = 256;

}  // namespace

std::string FormatAudioDescription(const WaveFormat& format) {
  const bool isFloat = format.formatTag == kWaveFormatIeeeFloat ||
                       (format.formatTag == kWaveFormatExtensible && format.extra.size() >= 8 &&
                        GetLe16(format.extra.data() + 6) == kWaveFormatIeeeFloat);
  const auto rate = static_cast<unsigned>(format.samplesPerSec), bits = unsigned{format.bitsPerSample};
  const unsigned channels = format.channels;
  char text[96];
  if (isFloat && channels == 1) std::snprintf(text, sizeof text, _("%5uHz %2uBit float モノラル"), rate, bits);
  else if (isFloat && channels == 2) std::snprintf(text, sizeof text, _("%5uHz %2uBit float ステレオ"), rate, bits);
  else if (isFloat) std::snprintf(text, sizeof text, _("%5uHz %2uBit float %uch"), rate, bits, channels);
  else if (channels == 1) std::snprintf(text, sizeof text, _("%5uHz %2uBit モノラル"), rate, bits);
  else if (channels == 2) std::snprintf(text, sizeof text, _("%5uHz %2uBit ステレオ"), rate, bits);
  else std::snprintf(text, sizeof text, _("%5uHz %2uBit %uch"), rate, bits, channels);
  return text;
}

// The source of the file: the CD track reader for ".cda", else the platform's choice.
static FilterRef AddDescribeSource(Graph* graph, const std::string& path) {
  if (GetLowerExtension(path) != ".cda") return GraphAddSourceFilter(graph, path);
  FilterRef reader = CreateFilter(kClsidCdTrackReader);
  if (!reader || !FilterLoadFile(reader.get(), path) || !GraphAddFilter(graph, reader, "WMP CD FILTER"))
    return nullptr;
  return reader;
}

bool DescribeMediaFile(const std::string& path, std::string* text) {
  // Private to this call; the graph is only prerolled, never run.
  GraphRef graph = CreateGraph(kClsidFilterGraph);
  if (!graph) return false;
  FilterRef source = AddDescribeSource(graph.get(), path);
  if (!source) return false;
  FilterRef renderer = AddFilterByClsid(graph.get(), kClsidDSoundRender);
  if (!renderer || !ConnectFilters(graph.get(), source.get(), renderer.get())) return false;

  // The renderer takes 16-bit mono or stereo only; what 音質そのまま writes is the decoders'
  // own format (24 bits, float, more channels), as a WAV conversion reads it from WavDest.
  PinRef decoded = DetachProbeRenderer(graph.get(), renderer);
  FilterRef wavDest = AddFilterByClsid(graph.get(), kClsidWavDest);
  PinRef in = FindPin(wavDest.get(), PinDirection::Input);
  MediaType type;
  if (!decoded || !in || !GraphConnectDirect(graph.get(), decoded.get(), in.get(), nullptr) ||
      !PinConnectionMediaType(in.get(), &type) || !type.hasFormat)
    return false;
  *text = FormatAudioDescription(type.format);
  ClearMediaType(&type);
  return true;
}

int RunDescriber(void (*beforeEach)(const std::string& path)) {
  // The caller's end of the socket is its only reader: gone means stop, not a signal.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::signal(SIGPIPE, SIG_IGN);
  MediaLayerInit();
  std::string path;
  while (std::getline(std::cin, path, '\0')) {
    if (beforeEach) beforeEach(path);
    std::string text = "-";
    DescribeMediaFile(path, &text);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  return 0;
}

struct DescriberChild {
  GSubprocess* process = nullptr;
  int socket = -1;  // our end; the child's standard input and output are the other
};

static DescriberChild* NewDescriberChild() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
  g_subprocess_launcher_take_stdin_fd(launcher, ends[1]);
  g_subprocess_launcher_take_stdout_fd(launcher, dup(ends[1]));
  const gchar* argv[] = {"/proc/self/exe", kDescriberOption, nullptr};
  g_autoptr(GError) error = nullptr;
  GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv, &error);
  if (!process) {
    close(ends[0]);
    return nullptr;
  }
  return new DescriberChild{process, ends[0]};
}

void StartDescriberChild(DescriberChild** child) {
  if (!*child) *child = NewDescriberChild();
}

void StopDescriberChild(DescriberChild** child) {
  if (!*child) return;
  close((*child)->socket);  // the child ends at the end of its input...
  g_subprocess_force_exit((*child)->process);  // ...or now, when it is busy or stuck
  g_subprocess_wait((*child)->process, nullptr, nullptr);
  g_object_unref((*child)->process);
  delete *child;
  *child = nullptr;
}

// One line from the child within the time left; false when it died, said too much or
// took too long.
static bool ReadReply(int socket, std::string* reply) {
  const gint64 deadline = g_get_monotonic_time() + kDescribeLimitMs * G_TIME_SPAN_MILLISECOND;
  reply->clear();
  for (;;) {
    const gint64 left = (deadline - g_get_monotonic_time()) / G_TIME_SPAN_MILLISECOND;
    pollfd ready{socket, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[kMaxReplyBytes];
    ssize_t n = recv(socket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    reply->append(buffer, static_cast<size_t>(n));
    if (size_t end = reply->find('\n'); end != std::string::npos) {
      reply->resize(end);
      return true;
    }
    if (reply->size() > kMaxReplyBytes) return false;
  }
}

bool DescribeInChild(DescriberChild** child, const std::string& path, std::string* text) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  StartDescriberChild(child);
  if (!*child) return false;
  const std::string request = path + '\0';
  std::string reply;
  if (send((*child)->socket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()) ||
      !ReadReply((*child)->socket, &reply)) {
    StopDescriberChild(child);
    StartDescriberChild(child);  // ready for the next file
    return false;
  }
  if (reply == "-") return false;
  *text = reply;
  return true;
}
