#include "RecordFormat.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Orvex::HardwareAPI::Haptics {

namespace {

bool ends_with(const std::string& text, const char* ending) {
  const std::size_t n = std::strlen(ending);
  return text.size() > n && text.compare(text.size() - n, n, ending) == 0;
}

void append_le64(std::uint64_t bits, std::string& out) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

}  // namespace

std::optional<RecordFormat> record_format_of(const std::string& path) {
  if (ends_with(path, ".csv")) return RecordFormat::csv;
  if (ends_with(path, ".npy")) return RecordFormat::npy;
  return std::nullopt;
}

std::string csv_header(const char* const* names, std::size_t columns) {
  std::string header;
  for (std::size_t i = 0; i < columns; ++i) {
    if (i) header += ',';
    header += names[i];
  }
  header += '\n';
  return header;
}

void append_shortest(double value, std::string& out) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
    return;
  }
  // A correctly rounded N-digit text that reads back exactly exists for N = 17 always; fewer
  // digits are tried first. strtod rounds correctly, so the check is exact.
  char text[32];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (digits == 17 || std::strtod(text, nullptr) == value) break;
  }
  out += text;
}

void append_csv_row(const double* row, std::size_t columns, std::string& out) {
  for (std::size_t i = 0; i < columns; ++i) {
    if (i) out += ',';
    append_shortest(row[i], out);
  }
  out += '\n';
}

std::string npy_header(std::uint64_t rows, std::size_t columns) {
  char dictionary[npy_header_size];
  const int length =
      std::snprintf(dictionary, sizeof dictionary,
                    "{'descr': '<f8', 'fortran_order': False, 'shape': (%llu, %zu), }",
                    static_cast<unsigned long long>(rows), columns);
  std::string header("\x93NUMPY\x01\x00", 8);
  const std::size_t dictionary_room = npy_header_size - 10;
  header.push_back(static_cast<char>(dictionary_room & 0xFF));
  header.push_back(static_cast<char>(dictionary_room >> 8));
  header.append(dictionary, static_cast<std::size_t>(length));
  // Spaces up to a newline at the end keep the data 64-byte aligned, as the format asks.
  header.append(npy_header_size - 1 - header.size(), ' ');
  header += '\n';
  return header;
}

void append_npy_row(const double* row, std::size_t columns, std::string& out) {
  for (std::size_t i = 0; i < columns; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, &row[i], sizeof bits);
    append_le64(bits, out);
  }
}

}  // namespace Orvex::HardwareAPI::Haptics
