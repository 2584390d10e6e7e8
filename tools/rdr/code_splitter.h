// What `rdr scan` makes of the frames a reader sends: one code per line, so
// that codes a poll gathered together are delivered one by one. Pure, no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rdr {

// True for the bytes never typed or printed as part of a code: C0 controls,
// DEL and the bytes Windows-1252, the library's code page, leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D). Its other bytes above 0x7F are characters
// (€, É, ç).
bool IsControlByte(char byte);

// Splits successive frames into codes at CR, LF or CR LF. Each code is the
// text between line ends without its control characters; a code that then
// does not begin with an ASCII letter or digit is dropped, as the library
// drops such frames. Empty lines give nothing. Main thread only (it keeps the
// text a full frame ended on).
class CodeSplitter {
 public:
  // Control characters left out of one line, with what the line kept.
  struct LeftOut {
    std::string bytes;
    std::string code;
  };
  struct Result {
    std::vector<std::string> codes;    // to deliver, in order
    std::vector<std::string> dropped;  // not beginning with a letter or digit
    std::vector<LeftOut> leftOut;      // in order, one for each line that had any
  };

  // `full`: the frame filled the whole read, so the text after its last line
  // end may go on in the next frame and is held until then. The next frame
  // that is not full ends that text, so an empty one delivers it.
  Result Split(std::string_view frame, bool full);

 private:
  std::string held_;
  std::string heldLeftOut_;
};

}  // namespace rdr
