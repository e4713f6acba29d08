// Reading a batch table cell by cell.
#include "cli/csv_cells.h"

#include "record/utf8.h"

#include <algorithm>

namespace {

// A UTF-8 byte-order mark, which some spreadsheets put at the start of a CSV file.
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// How many bytes at the start of a table are looked at to tell UTF-16: enough for a few
// characters of a header.
constexpr std::size_t UTF16_SAMPLE = 16;

// Notes the line of a fault unless the cell has that fault already.
void note(std::size_t& fault, std::size_t line) {
  if (fault == 0) {
    fault = line;
  }
}

// Whether the first line of `text` that holds anything has a semicolon and no comma.
bool separated_by_semicolons(std::string_view text) {
  const std::size_t start = text.find_first_not_of("\r\n");
  if (start == std::string_view::npos) {
    return false;
  }
  const std::string_view line = text.substr(start, text.find('\n', start) - start);
  return line.find(';') != std::string_view::npos && line.find(',') == std::string_view::npos;
}

} // namespace

bool looks_like_utf16(std::string_view text) {
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    return true;
  }
  // Whole UTF-16 units only; one or two characters could be anything.
  const std::size_t sample = std::min(text.size(), UTF16_SAMPLE) & ~std::size_t{1};
  if (sample < 4) {
    return false;
  }
  for (const std::size_t nul_at : {0, 1}) { // big-endian, then little-endian
    bool matches = true;
    for (std::size_t i = 0; i < sample && matches; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      matches = i % 2 == nul_at ? byte == 0 : byte != 0 && byte < 0x80;
    }
    if (matches) {
      return true;
    }
  }
  return false;
}

cell_scanner::cell_scanner(std::string_view text) : text_(text) {
  if (text_.starts_with(BYTE_ORDER_MARK)) {
    text_.remove_prefix(BYTE_ORDER_MARK.size());
  }
  separator_ = separated_by_semicolons(text_) ? ';' : ',';
}

bool cell_scanner::next_record() {
  while (take_line_end() || take_separator_line()) {
  }
  return pos_ < text_.size();
}

void cell_scanner::read_cell(scanned_cell& cell, std::size_t limit) {
  cell.text.clear();
  cell.length = 0;
  cell.line = line_;
  cell.faults = {};
  limit_ = limit;
  bool quoted = false;
  if (starts_with("\"")) {
    read_quoted(cell);
    quoted = true;
  }
  read_unquoted(cell, quoted);
  cell.ends_record = !at_separator();
  if (cell.ends_record) {
    take_line_end();
  } else {
    ++pos_;
  }
}

// The length of the line end at the current place, "\n" or "\r\n", or 0.
std::size_t cell_scanner::line_end_length() const {
  return starts_with("\n") ? 1 : starts_with("\r\n") ? 2 : 0;
}

// Takes the line end at the current place; returns whether there was one.
bool cell_scanner::take_line_end() {
  const std::size_t length = line_end_length();
  pos_ += length;
  line_ += length != 0 ? 1 : 0;
  return length != 0;
}

// Takes a line of separators alone and its line end, if one is at the current place; returns
// whether it did. A last line of separators may have no line end.
bool cell_scanner::take_separator_line() {
  std::size_t end = pos_;
  while (end < text_.size() && text_[end] == separator_) {
    ++end;
  }
  if (end == pos_) {
    return false;
  }
  const std::size_t before = pos_;
  pos_ = end;
  if (pos_ == text_.size() || take_line_end()) {
    return true;
  }
  pos_ = before;
  return false;
}

// Whether a byte is plain ASCII text, with no meaning to the reader.
bool cell_scanner::is_plain(char c) const {
  return c != separator_ && c != '"' && c != '\n' && c != '\r' && c != '\0' &&
         static_cast<unsigned char>(c) < 0x80;
}

// Counts `bytes` into the cell, keeping those that fit within the limit.
void cell_scanner::keep(scanned_cell& cell, std::string_view bytes) {
  if (cell.length < limit_) {
    cell.text.append(bytes.substr(0, limit_ - cell.length));
  }
  cell.length += bytes.size();
}

// Takes a run of plain bytes, or else one byte or a whole UTF-8 sequence, into the cell, noting
// a NUL or a byte that begins no well-formed sequence.
void cell_scanner::take_character(scanned_cell& cell) {
  const auto byte = static_cast<unsigned char>(text_[pos_]);
  std::size_t length = 1;
  if (is_plain(text_[pos_])) {
    while (pos_ + length < text_.size() && is_plain(text_[pos_ + length])) {
      ++length;
    }
  } else if (byte == '\0') {
    note(cell.faults.nul, line_);
  } else if (byte >= 0x80) {
    length = utf8_multibyte_length(text_.substr(pos_));
    if (length == 0) {
      note(cell.faults.not_utf8, line_);
      length = 1;
    }
  }
  keep(cell, text_.substr(pos_, length));
  pos_ += length;
}

// From the opening quote through the closing one; a quote the table never closes leaves the
// cell open to the end of the text.
void cell_scanner::read_quoted(scanned_cell& cell) {
  ++pos_;
  for (;;) {
    if (pos_ == text_.size()) {
      note(cell.faults.unterminated, cell.line);
      return;
    }
    if (starts_with("\"\"")) {
      keep(cell, "\"");
      pos_ += 2;
    } else if (starts_with("\"")) {
      ++pos_;
      return;
    } else if (starts_with("\n")) {
      keep(cell, "\n");
      take_line_end();
    } else {
      take_character(cell);
    }
  }
}

// Up to the next separator, line end or the end of the text. After a quoted cell, every byte
// here is out of place; they are counted in the cell all the same.
void cell_scanner::read_unquoted(scanned_cell& cell, bool after_quote) {
  while (pos_ < text_.size() && !at_separator() && line_end_length() == 0) {
    if (after_quote) {
      note(cell.faults.after_quote, line_);
    } else if (starts_with("\"")) {
      note(cell.faults.quote_inside, line_);
    } else if (starts_with("\r")) {
      note(cell.faults.carriage_return, line_);
    }
    take_character(cell);
  }
}
