// rdr read, rdr prox, rdr decode and rdr formats: one poll of a reader, one
// proximity card, one frame decoded, the card formats the decoder knows.
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string_view>

#include "command.h"
#include "credential_text.h"
#include "escapes.h"
#include "line_speed.h"
#include "output.h"
#include "proximity_bits.h"
#include "rdr00800/Rdr00800.h"
#include "stop_signal.h"

namespace rdr {
namespace {

struct ReadOptions {
  std::string port;
  int32_t baud = 9600;
  bool optical = false;
  int32_t type = 0;
};

// What one poll of `port` returned, `awaited` naming what is waited for
// ("frame", "card"). Shows progress while the poll waits; when it returns
// nothing, CommandError with the library's reason.
std::string PollPort(const std::string& port, const std::string& awaited, const std::function<std::string()>& poll) {
  RefuseMalformedNetworkPort(port);
  // Ctrl-C or SIGTERM during the poll waits for its second: the poll closes
  // the port, so that its exclusive hold does not outlive the process.
  InstallStopSignals();
  std::string result;
  {
    WaitNotice notice("waiting for a " + awaited + " on " + port);
    result = poll();
  }
  EndIfStopRequested();
  if (result.empty()) throw PollFailure(port, awaited);
  // A frame with a message is one that a NUL cut short.
  if (const std::string message = LastReadMessage(); !message.empty())
    std::fprintf(stderr, "rdr: %s\n", message.c_str());
  return result;
}

int RunRead(const ReadOptions& options, bool json) {
  const std::string frame = PollPort(options.port, "frame", [&] {
    if (!options.optical) return Rdr00800::GetProximidadeReaderValue("", options.port, options.baud);
    // The optical read takes its port from the table.
    Rdr00800::Portas[1] = options.port;
    Rdr00800::IdPortaOpt = 1;
    Rdr00800::IdVelocOpt = SpeedIndex(options.baud);
    Rdr00800::IdTipoOpt = options.type;
    return Rdr00800::GetOpticalReaderValue();
  });
  WarnIfFrameFilledTheRead(frame, options.optical && options.type == 2);
  const std::string device = Rdr00800::PortDevicePath(options.port);
  PrintResult(json, JsonLine().Text("port", options.port).Text("device", device).Bytes("frame", frame), frame);
  return kExitOk;
}

struct ProxOptions {
  std::string type;
  std::string port;
  int32_t baud = 9600;
};

int RunProx(const ProxOptions& options, bool json) {
  const std::string code = PollPort(
      options.port, "card", [&] { return Rdr00800::LeitorProximidade(options.type, options.port, options.baud); });
  PrintResult(json, JsonLine().Text("type", options.type).Text("port", options.port).Bytes("code", code), code);
  return kExitOk;
}

struct DecodeOptions {
  std::string type;
  std::string layout;  // decode as credentials instead of by reader type
  std::string format;
  std::string form;
  std::string frameText;
  bool explain = false;
};

// The decoder's view of a hexadecimal frame, field by field.
void PrintExplanation(const std::string& frame, bool json, JsonLine& fields) {
  const std::string bits = FrameBitText(frame);
  const std::string facility = BitField(bits, kFacilityFirstBit, kFacilityBits);
  const std::string card = BitField(bits, kCardFirstBit, kCardBits);
  const std::string rest = BitField(bits, kCardFirstBit + kCardBits, bits.size());
  const ParityReport parity = CheckParity(bits);
  // Characters before the first CR that give no bits: the fields are cut as
  // if they were not there, which can make another card's code.
  std::string skipped;
  std::string skippedAt;
  const std::string_view read = std::string_view(frame).substr(0, frame.find('\r'));
  for (size_t at = 0; at < read.size(); ++at) {
    if (!Rdr00800::HexaToBin(std::string(1, read[at])).empty()) continue;
    skipped += read[at];
    skippedAt += (skippedAt.empty() ? "" : ", ") + ShowEscapes(read.substr(at, 1)) + " at " + std::to_string(at + 1);
  }
  if (json) {
    fields.Text("bits", bits).Text("facility_bits", facility).Text("card_bits", card).Bytes("skipped", skipped);
    if (parity.available) {
      fields.Flag("even_parity_holds", parity.evenHolds).Flag("odd_parity_holds", parity.oddHolds);
    } else {
      fields.Null("even_parity_holds").Null("odd_parity_holds");
    }
    return;
  }
  if (!skipped.empty()) {
    PrintLine("skipped   " + skippedAt + ": not hexadecimal digits (0-9, A-F); the code may be wrong");
  }
  const std::string ignored = BitField(bits, 1, kFacilityFirstBit - 1);
  const auto padded = [](std::string text, size_t width) {
    return text.resize(std::max(width, text.size()), ' '), text;
  };
  PrintLine("bits      " + ignored + " " + facility + " " + card + " " + rest);
  PrintLine("          " + padded("ignored", ignored.size()) + " " + padded("facility", facility.size()) + " " +
            padded("card", card.size()) + (rest.empty() ? "" : " ignored"));
  PrintLine("facility  bits 10-17 " + facility + " = " + Rdr00800::BinToDec(facility));
  PrintLine("card      bits 18-33 " + card + " = " + Rdr00800::BinToDec(card));
  if (!parity.available) {
    PrintLine("parity    not available: fewer than 34 bits");
  } else {
    PrintLine(std::string("parity    bit 9 (even over bits 9-21) ") + (parity.evenHolds ? "holds" : "does not hold") +
              ", bit 34 (odd over bits 22-34) " + (parity.oddHolds ? "holds" : "does not hold") +
              "; information only, the code does not depend on it");
  }
}

std::vector<Rdr00800::Credential> DecodeOrFail(const std::string& frame, const DecodeOptions& options) {
  std::vector<Rdr00800::Credential> credentials;
  try {
    credentials = Rdr00800::DecodeCredentials(frame, options.layout, options.format);
  } catch (const std::invalid_argument& error) {
    throw CommandError(kExitBadArguments, error.what());
  }
  if (credentials.empty()) {
    throw CommandError(kExitNothingRead, "the frame decodes to no credential in layout " + options.layout +
                                             (options.format.empty() ? "" : " with format " + options.format));
  }
  return credentials;
}

// Every credential the frame holds, best first; with --form, one form of the best.
int RunDecodeCredentials(const std::string& frame, const DecodeOptions& options, bool json) {
  const std::vector<Rdr00800::Credential> credentials = DecodeOrFail(frame, options);
  if (!options.form.empty()) {
    const Rdr00800::Credential& best = credentials.front();
    if (best.parity == Rdr00800::ParityCheck::Failed) throw CommandError(kExitNothingRead, ParityFailure(best));
    std::string value;
    try {
      value = best.Form(options.form);
    } catch (const std::invalid_argument& error) {
      throw CommandError(kExitBadArguments, error.what());
    }
    PrintResult(json, CredentialJson(best).Text("form", options.form).Text("value", value), value);
    return kExitOk;
  }
  for (const Rdr00800::Credential& credential : credentials) {
    const std::vector<ParityBitCheck> checks =
        options.explain ? ParityBitsOf(credential) : std::vector<ParityBitCheck>();
    if (json) {
      JsonLine line = CredentialJson(credential);
      if (options.explain) {
        std::string bits = "[";
        for (const ParityBitCheck& check : checks) {
          bits += (bits.size() > 1 ? "," : "") + JsonLine()
                                                     .Number("position", check.position)
                                                     .Text("kind", check.odd ? "odd" : "even")
                                                     .Text("covers", check.cover)
                                                     .Flag("holds", check.holds)
                                                     .str();
        }
        line.Json("parity_bits", bits + "]");
      }
      PrintLine(line.str());
      continue;
    }
    PrintLine(CredentialLine(credential));
    for (const ParityBitCheck& check : checks) PrintLine("  parity " + ParityBitLine(check));
  }
  return kExitOk;
}

int RunFormats(bool json) {
  for (const FormatEntry& format : CatalogueFormats()) {
    if (json) {
      PrintLine(JsonLine()
                    .Text("format", format.name)
                    .Number("bits", format.bits)
                    .Text("definition", format.definition)
                    .str());
    } else {
      std::string name = format.name;
      name.resize(std::max<size_t>(name.size(), 10), ' ');
      PrintLine(name + " " + (format.bits < 10 ? " " : "") + std::to_string(format.bits) + " bits  " +
                format.definition);
    }
  }
  return kExitOk;
}

int RunDecode(const DecodeOptions& options, bool json) {
  std::string frame;
  try {
    frame = ParseEscapes(options.frameText);
  } catch (const std::invalid_argument& error) {
    throw CommandError(kExitBadArguments, std::string("FRAME: ") + error.what());
  }
  if (!options.layout.empty()) return RunDecodeCredentials(frame, options, json);
  const std::string code = Rdr00800::DecodeProximityFrame(options.type, frame);
  JsonLine fields;
  fields.Text("type", options.type).Bytes("frame", frame);
  if (options.explain && options.type != "3") {
    if (!json) PrintLine("frame     " + ShowEscapes(frame));
    PrintExplanation(frame, json, fields);
  }
  if (code.empty()) {
    const size_t bits = FrameBitText(frame).size();
    if (const size_t needed = kCardFirstBit + kCardBits - 1; options.type != "3" && bits < needed) {
      throw CommandError(kExitNothingRead, "the frame is too short to give a code: " + std::to_string(bits) +
                                               " bits, and the code is read from bits " +
                                               std::to_string(kFacilityFirstBit) + "-" + std::to_string(needed));
    }
    throw CommandError(kExitNothingRead, "the frame decodes to no code");
  }
  if (json) {
    PrintLine(fields.Bytes("code", code).str());
  } else {
    PrintLine((options.explain ? "code      " : "") + ShowEscapes(code));
  }
  return kExitOk;
}

}  // namespace

void AddReaderCommands(CLI::App& app, CommandBody& body) {
  auto* read = app.add_subcommand("read", "Poll a reader once and print its frame");
  read->footer(
      "One poll, as hosts of the library make them: waits the whole second for the reader's bytes (at most 51, up to "
      "the first NUL) and shows the frame with its control bytes visible: \\r \\n \\x12. Ctrl-C or SIGTERM "
      "ends it once the poll has released the port.");
  auto readOptions = std::make_shared<ReadOptions>();
  read->add_option("--port", readOptions->port, kPortHelp)->required();
  read->add_option("--baud", readOptions->baud, "Line speed in bits per second")
      ->capture_default_str()
      ->check(LineSpeed());
  auto* optical =
      read->add_flag("--optical", readOptions->optical, "Read as the optical reader (speed from the library's table)");
  read->add_option("--type", readOptions->type, "Optical reader type: 2 drops the frame's last character")
      ->needs(optical);
  const auto readJson = AddJsonFlag(*read);
  read->callback([&body, readOptions, readJson] { body = [=] { return RunRead(*readOptions, *readJson); }; });

  auto* prox = app.add_subcommand("prox", "Read one proximity card and print its code");
  auto proxOptions = std::make_shared<ProxOptions>();
  prox->add_option("--type", proxOptions->type, "Reader type: 1 (no facility), 3 (plain text) or another")->required();
  prox->add_option("--port", proxOptions->port, kPortHelp)->required();
  prox->add_option("--baud", proxOptions->baud, "Line speed in bits per second")
      ->capture_default_str()
      ->check(LineSpeed());
  const auto proxJson = AddJsonFlag(*prox);
  prox->callback([&body, proxOptions, proxJson] { body = [=] { return RunProx(*proxOptions, *proxJson); }; });

  auto* decode = app.add_subcommand("decode", "Decode a proximity frame, or its card, given on the command line");
  decode->footer(
      "With --type, as the host's proximity call decodes it. With --layout, every card format of the catalogue "
      "(rdr formats) that reads the frame, best first (parity holds, then no parity, then parity fails), one line "
      "each: format, the fields it has, parity. Layouts: hex40 (this library's proximity frame), hex (the word "
      "alone; hex:N fixes its length), packed (header and sentinel), em4100 (STX, 10 digits, checksum, ETX).");
  auto decodeOptions = std::make_shared<DecodeOptions>();
  auto* type =
      decode->add_option("--type", decodeOptions->type, "Reader type: 1 (no facility), 3 (plain text) or another");
  auto* layout =
      decode
          ->add_option("--layout", decodeOptions->layout, "Decode as credentials: hex40, hex, hex:N, packed or em4100")
          ->excludes(type);
  decode->add_option("--format", decodeOptions->format, "A format of rdr formats, or auto (default: the layout's)")
      ->needs(layout);
  decode
      ->add_option("--form", decodeOptions->form,
                   "Print this form of the best match alone: code, fc,cn, dez10, dez8, dez13 or hex")
      ->needs(layout);
  decode->add_option("FRAME", decodeOptions->frameText, "The frame; \\r \\n \\t \\0 \\\\ and \\xNN stand for bytes")
      ->required();
  decode->add_flag("--explain", decodeOptions->explain,
                   "Also show the bits with the ignored, facility and card fields, and whether bits 9 and 34 hold "
                   "the parity of the 26-bit format (information only); with --layout, each parity bit of each "
                   "match, the bits it covers and whether it holds");
  const auto decodeJson = AddJsonFlag(*decode);
  decode->callback([&body, decodeOptions, decodeJson, type, layout] {
    if (type->count() == 0 && layout->count() == 0) throw CLI::ValidationError("--type", "give --type or --layout");
    body = [=] { return RunDecode(*decodeOptions, *decodeJson); };
  });

  auto* formats = app.add_subcommand("formats", "List the card formats the decoder knows, with lengths and fields");
  formats->footer(
      "Fields and parity bits by position, 1 the most significant: facility=, card=, issue=, oem=; even=P:LIST and "
      "odd=P:LIST, checked in that order; xor=BITS:LIST, each bit even over every n-th listed position; fixed=LIST:V, "
      "positions that always hold V.");
  const auto formatsJson = AddJsonFlag(*formats);
  formats->callback([&body, formatsJson] { body = [=] { return RunFormats(*formatsJson); }; });
}

}  // namespace rdr
