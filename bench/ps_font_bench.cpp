// Times the text-form conversion of a 20 MB segmented binary font (a few text segments, large
// binary segments) and, in the same run on the same file, t1ascii from t1utils. Both sides are
// timed file to file (read the font, convert, write the text) so the comparison is fair; the
// in-memory conversion alone is printed as well. Best of several runs on each side.
//
// Usage: bench_ps_font [megabytes] [runs] [t1ascii path]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/TCP9100File.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

QByteArray segment(unsigned char type, const QByteArray& body) {
  QByteArray s;
  s.append(char(0x80)).append(char(type));
  const auto n = uint32_t(body.size());
  for (int shift = 0; shift < 32; shift += 8) s.append(char((n >> shift) & 0xFF));
  return s + body;
}

QByteArray randomBytes(qsizetype n, uint64_t& state) {
  QByteArray b(n, Qt::Uninitialized);
  for (char& c : b) {
    state ^= state << 13;  // xorshift: deterministic, fast, incompressible enough
    state ^= state >> 7;
    state ^= state << 17;
    c = char(state >> 56);
  }
  return b;
}

QByteArray textLines(int lines, const char* line) {
  QByteArray t;
  for (int i = 0; i < lines; ++i) t += line;
  return t;
}

// A font shaped like a real one, scaled up: header text, two big encrypted parts with a text
// segment between them, the trailer of zeros, the end segment.
QByteArray makeFont(qsizetype totalBytes) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  const QByteArray head = "%!PS-AdobeFont-1.0: Bench 001.000\n/FontName /Bench def\n" +
                          textLines(400, "/CharStrings 1 dict dup begin end readonly def\n") +
                          "currentfile eexec\n";
  const QByteArray middle = textLines(20, "% a comment line between binary parts\n");
  const QByteArray tail = textLines(8,
                                    "0000000000000000000000000000000000000000000000000000000"
                                    "000000000\n") +
                          "cleartomark\n";
  const qsizetype binary =
      std::max<qsizetype>(2, totalBytes - head.size() - middle.size() - tail.size() - 4 * 6 - 2);
  return segment(1, head) + segment(2, randomBytes(binary / 2, state)) + segment(1, middle) +
         segment(2, randomBytes(binary - binary / 2, state)) + segment(1, tail) +
         QByteArray("\x80\x03", 2);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Our side, file to file. Returns the seconds of the conversion alone through `convertOnly`.
double runOurs(const QString& in, const QString& out, double& convertOnly, qsizetype& outSize) {
  const auto start = Clock::now();
  QFile f(in);
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray font = f.readAll();
  const auto converting = Clock::now();
  const QByteArray text = Zarvo::dsm::TCP9100FilePSFont::binaryToAscii(font);
  convertOnly = seconds(Clock::now() - converting);
  outSize = text.size();
  if (!writeFile(out, text)) return -1;
  return seconds(Clock::now() - start);
}

double runT1ascii(const std::string& tool, const QString& in, const QString& out) {
  const std::string inPath = in.toStdString();
  const std::string outPath = out.toStdString();
  char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>(inPath.c_str()),
                  const_cast<char*>(outPath.c_str()), nullptr};
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  return seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string tool = argc > 3 ? argv[3] : "/usr/bin/t1ascii";

  QTemporaryDir dir;
  if (!dir.isValid()) {
    std::fprintf(stderr, "no temporary directory\n");
    return 1;
  }
  const QString in = dir.filePath("bench.pfb");
  const QByteArray font = makeFont(qsizetype(megabytes) * 1000 * 1000);
  if (!writeFile(in, font)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(in));
    return 1;
  }
  const double mb = double(font.size()) / 1e6;
  std::printf("font: %.1f MB segmented binary, %d runs each, best run counts\n", mb, runs);

  double ours = 1e30, convert = 1e30;
  qsizetype outSize = 0;
  for (int r = 0; r < runs; ++r) {
    double c = 0;
    const double t = runOurs(in, dir.filePath("ours.txt"), c, outSize);
    if (t < 0) {
      std::fprintf(stderr, "our conversion failed\n");
      return 1;
    }
    ours = std::min(ours, t);
    convert = std::min(convert, c);
  }
  std::printf("ours     file to file: %8.1f MB/s  (%.3f s, %.1f MB of text)\n", mb / ours, ours,
              double(outSize) / 1e6);
  std::printf("ours     in memory:    %8.1f MB/s  (%.3f s)\n", mb / convert, convert);

  if (access(tool.c_str(), X_OK) != 0) {
    std::printf("t1ascii: %s not found, no comparison\n", tool.c_str());
    return 0;
  }
  double theirs = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double t = runT1ascii(tool, in, dir.filePath("t1ascii.txt"));
    if (t < 0) {
      std::fprintf(stderr, "t1ascii failed\n");
      return 1;
    }
    theirs = std::min(theirs, t);
  }
  std::printf("t1ascii  file to file: %8.1f MB/s  (%.3f s)\n", mb / theirs, theirs);
  std::printf("ratio ours/t1ascii (throughput, file to file): %.2f\n", theirs / ours);
  return 0;
}
