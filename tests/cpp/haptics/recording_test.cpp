// The recorder: the file formats, exact loss counting
// when the queue overflows, the disk refuses or the file is removed, what it refuses to open,
// and the hand-over from a real-time thread.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"
#include "RecordFormat.h"
#include "RecordingTap.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;

const char* const names[3] = {"time", "value", "cycle"};
const Recorder::Columns three{names, 3};

RecordRow row_of(std::uint64_t n) {
  RecordRow row{};
  row[0] = n * 1e-3;
  row[1] = 1.0 / (n + 3);
  row[2] = static_cast<double>(n);
  return row;
}

std::string temporary(const char* ending) {
  char name[] = "/tmp/orvex-recording-XXXXXX";
  const int fd = mkstemp(name);
  close(fd);
  unlink(name);
  return std::string(name) + ending;
}

std::vector<std::vector<double>> read_csv(const std::string& path, std::string& header) {
  std::ifstream in(path);
  std::getline(in, header);
  std::vector<std::vector<double>> rows;
  for (std::string line; std::getline(in, line);) {
    std::vector<double> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) row.push_back(std::strtod(cell.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

// The rows an .npy file's header counts, and the file's length.
std::pair<unsigned long long, long> npy_rows(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string header(npy_header_size, '\0');
  in.read(&header[0], npy_header_size);
  unsigned long long rows = 0;
  std::sscanf(header.c_str() + header.find("'shape': (") + 10, "%llu", &rows);
  in.seekg(0, std::ios::end);
  return {rows, static_cast<long>(in.tellg())};
}

TEST(RecordFormat, ShortestTextReadsBackExactly) {
  const double values[] = {0.1, 1.0 / 3, -2.5e-310, 1e300, 123456789.0, 0.30000000000000004,
                           5e-324, -0.0, 1.7976931348623157e308, 0.001};
  for (const double value : values) {
    std::string text;
    append_shortest(value, text);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    char longest[32];
    std::snprintf(longest, sizeof longest, "%.17g", value);
    EXPECT_LE(text.size(), std::strlen(longest)) << text;
  }
  std::string text;
  append_shortest(0.1, text);
  EXPECT_EQ(text, "0.1");
}

TEST(RecordFormat, NpyHeaderIsOneSizeForAnyRowCount) {
  for (const std::uint64_t rows : {0ull, 7ull, 18446744073709551615ull}) {
    const std::string header = npy_header(rows, 15);
    ASSERT_EQ(header.size(), npy_header_size);
    EXPECT_EQ(header.back(), '\n');
    EXPECT_NE(header.find("'shape': (" + std::to_string(rows) + ", 15)"), std::string::npos);
    EXPECT_EQ(static_cast<unsigned char>(header[8]) + 256 * static_cast<unsigned char>(header[9]),
              npy_header_size - 10);
  }
}

TEST(Recorder, WritesCsvWithAHeaderAndExactValues) {
  const std::string path = temporary(".csv");
  int error = 0;
  auto recorder = Recorder::start(path, three, 4096, error);
  ASSERT_TRUE(recorder) << std::strerror(error);
  for (std::uint64_t n = 0; n < 1000; ++n) ASSERT_TRUE(recorder->push(row_of(n)));
  const RecordTotals totals = recorder->finish();
  EXPECT_EQ(totals.rows, 1000u);
  EXPECT_EQ(totals.lost, 0u);
  std::string header;
  const auto rows = read_csv(path, header);
  EXPECT_EQ(header, "time,value,cycle");
  ASSERT_EQ(rows.size(), 1000u);
  for (std::uint64_t n = 0; n < 1000; ++n) {
    const RecordRow expected = row_of(n);
    for (std::size_t c = 0; c < 3; ++c) ASSERT_EQ(rows[n][c], expected[c]);
  }
  unlink(path.c_str());
}

TEST(Recorder, CountsEveryRowLostToAFullQueue) {
  const std::string path = temporary(".csv");
  int error = 0;
  auto recorder = Recorder::start(path, three, 16, error);
  ASSERT_TRUE(recorder);
  constexpr std::uint64_t pushed = 200'000;
  std::uint64_t refused = 0;
  for (std::uint64_t n = 0; n < pushed; ++n) refused += !recorder->push(row_of(n));
  const RecordTotals totals = recorder->finish();
  EXPECT_GT(totals.lost, 0u);
  EXPECT_EQ(totals.lost, refused);
  EXPECT_EQ(totals.rows + totals.lost, pushed);
  std::string header;
  const auto rows = read_csv(path, header);
  ASSERT_EQ(rows.size(), totals.rows);
  for (std::size_t i = 1; i < rows.size(); ++i) ASSERT_GT(rows[i][2], rows[i - 1][2]);
  unlink(path.c_str());
}

TEST(Recorder, RefusesPathsOfNoFormatAndFilesThatCannotBeMade) {
  int error = 0;
  EXPECT_FALSE(Recorder::start(temporary(".txt"), three, 16, error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(Recorder::start("/nonexistent-folder/x.csv", three, 16, error));
  EXPECT_EQ(error, ENOENT);
}

// Only a regular file is written: a FIFO (with a reader or without, which would hold an open up
// for good), a socket, a folder or a symbolic link (to a file or a device) at the path is
// refused at once, untouched.
TEST(Recorder, RefusesWhatIsNoRegularFileWithoutOpeningItOrWaiting) {
  const std::string fifo = temporary(".csv");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = temporary(".npy");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string target = temporary(".csv");
  std::ofstream(target) << "kept\n";
  const std::string link = temporary(".csv");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string device = temporary(".csv");
  ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);

  const auto refusal = [](const std::string& path) {
    int error = 0;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(Recorder::start(path, three, 16, error)) << path;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1)) << path;
    return error;
  };
  EXPECT_EQ(refusal(fifo), EEXIST);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(refusal(fifo), EEXIST);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0) << "no writer ever opened it";
  close(reader);
  const std::string socket_path = temporary(".npy");
  const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(refusal(socket_path), EEXIST);
  close(listening);
  unlink(socket_path.c_str());
  EXPECT_EQ(refusal(folder), EISDIR);
  EXPECT_EQ(refusal(link), ELOOP);
  EXPECT_EQ(refusal(device), ELOOP);
  std::string kept;
  std::getline(std::ifstream(target), kept);
  EXPECT_EQ(kept, "kept");

  // A regular file is emptied and written.
  int error = 0;
  auto recorder = Recorder::start(target, three, 16, error);
  ASSERT_TRUE(recorder) << std::strerror(error);
  ASSERT_TRUE(recorder->push(row_of(1)));
  EXPECT_EQ(recorder->finish().error, 0);
  std::string header;
  EXPECT_EQ(read_csv(target, header).size(), 1u);
  for (const std::string& path : {fifo, target, link, device}) unlink(path.c_str());
  rmdir(folder.c_str());
}

// A file whose folder is deleted while it is written goes with it: its rows count as lost, and
// the error says why, while it runs and at the end.
TEST(Recorder, CountsEveryRowOfAFileRemovedWhileRecordingAsLost) {
  const std::string folder = temporary("");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string path = folder + "/run.npy";
  int error = 0;
  auto recorder = Recorder::start(path, three, 4096, error);
  ASSERT_TRUE(recorder) << std::strerror(error);
  for (std::uint64_t n = 0; n < 100; ++n) ASSERT_TRUE(recorder->push(row_of(n)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  for (std::uint64_t n = 100; n < 200; ++n) ASSERT_TRUE(recorder->push(row_of(n)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (recorder->totals().error == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(recorder->totals().error, ENOENT);
  EXPECT_EQ(recorder->totals().rows, 0u);
  for (std::uint64_t n = 200; n < 300; ++n) ASSERT_TRUE(recorder->push(row_of(n)));
  const RecordTotals totals = recorder->finish();
  EXPECT_EQ(totals.rows, 0u);
  EXPECT_EQ(totals.lost, 300u);
  EXPECT_EQ(totals.error, ENOENT);
}

// A disk that fills up mid-recording, as a file size limit in a child process stands in for it:
// the rows it refused are counted, and the .npy file stays whole and counts the rest.
TEST(Recorder, CountsRowsTheDiskRefusedAndKeepsTheFileWhole) {
  const std::string path = temporary(".npy");
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    int error = 0;
    auto recorder = Recorder::start(path, three, 4096, error);
    if (!recorder) _exit(2);
    for (std::uint64_t n = 0; n < 20'000; ++n) {
      recorder->push(row_of(n));
      if (n % 500 == 0) usleep(30'000);  // several batches, before and after the disk fills
    }
    const RecordTotals totals = recorder->finish();
    const std::uint64_t sent[3] = {totals.rows, totals.lost,
                                   static_cast<std::uint64_t>(totals.error)};
    if (write(results[1], sent, sizeof sent) != sizeof sent) _exit(3);
    _exit(0);
  }
  close(results[1]);
  std::uint64_t totals[3] = {};
  ASSERT_EQ(read(results[0], totals, sizeof totals), static_cast<ssize_t>(sizeof totals));
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(totals[0], 0u);
  EXPECT_GT(totals[1], 0u);
  EXPECT_EQ(totals[0] + totals[1], 20'000u);
  EXPECT_EQ(totals[2], static_cast<std::uint64_t>(EFBIG));
  const auto [rows, length] = npy_rows(path);
  EXPECT_EQ(rows, totals[0]);
  EXPECT_EQ(length, static_cast<long>(npy_header_size + rows * 3 * 8));
  unlink(path.c_str());
}

// A producer that offers numbered rows while the application starts and ends
// recordings: each recording holds an unbroken run of numbers, nothing lost, nothing torn.
TEST(RecordingTap, HandsOverSafelyWhileRecordingsComeAndGo) {
  RecordingTap tap;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (std::uint64_t n = 0; !done.load(); ++n) {
      tap.offer(row_of(n));
      // Paced like a fast loop, so that the queue (a second of rows) never fills while the
      // writer waits for its turn on a busy machine: a loss here would be the test's, not a fault.
      if (n % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int round = 0; round < 8; ++round) {
    const std::string path = temporary(".csv");
    ASSERT_EQ(tap.begin(path, three, 1 << 16, "cycle"), 0);
    EXPECT_EQ(tap.begin(path, three, 16, "cycle"), EBUSY);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto totals = tap.end();
    ASSERT_TRUE(totals);
    std::string header;
    const auto rows = read_csv(path, header);
    EXPECT_EQ(rows.size(), totals->rows);
    EXPECT_EQ(totals->lost, 0u);
    for (std::size_t i = 1; i < rows.size(); ++i) ASSERT_EQ(rows[i][2], rows[i - 1][2] + 1);
    unlink(path.c_str());
  }
  done.store(true);
  producer.join();
  EXPECT_TRUE(tap.end());  // the last one's totals
}

}  // namespace
