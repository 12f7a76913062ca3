#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <iostream>

#include "control.hpp"
#include "simulator.hpp"

namespace kov02a_sim {
namespace {

constexpr const char* kFooter = R"(
Lines:
  Without --tty the module plays on a new pseudo-terminal, in raw mode, whose slave is
  printed ("module /dev/pts/N") and named by every --link. With only --null-modem there
  is no module. Once set up, stdout shows "control PATH", "null-modem A B" and "ready".
  --baud paces the ptys both ways (10 bits a byte); a --tty is paced by its UART.

Normal mode:
  AT commands end with CR (CR LF and LF work too); echo is off. AT, ATE0 and ATZ answer
  "\r\nOK\r\n", ATI "\r\n<identity>\r\n\r\nOK\r\n", anything else "\r\nERROR\r\n".
  Bytes that cannot start a command, such as the 0x55 sync stream, are ignored.

Update:
  A RIL reset (ril 0x03001F88) restarts the module into its boot ROM. After 3 consecutive
  0x55 it sends --noise bytes and 0xA0, then takes bootloader stage 1, stage 2 and the
  image, checking lengths, order, check bytes, chunk acknowledgements and the pauses
  (20 ms after the stage-2 size, 100 ms after 0x50, 20 ms after the image size; 2 ms
  tolerance). With no 0x55 within 2 s of the reset it starts in normal mode. A stage with
  a wrong check byte gets no 0xA5 (--nak sends a byte instead) and the module stays silent
  until the next reset. After the image it is back in normal mode.

Faults (--withhold-ack, --wrong-ack, --extra-ack, all repeatable):
  POINT[:once|:always]. POINT is stage1, stage2 or image (their final 0xA5), chunk (0xAA
  after a full chunk), memcheck (the answer to 0x50) or record (the three 0xA5 after the
  file-size record). once, the default, hits the first such answer in the simulator's
  life; always hits every one. A wrong answer has --wrong-byte in place of 0xA5 or 0xAA;
  an extra answer repeats its last byte once more. The tool waits for each answer only
  so long (the bounds under its registry's Platform\Update): a stage answer withheld once
  makes it start again with a new reset, and that retry passes; a chunk or image answer
  withheld once ends its run as failed, and the next run passes.
  --silent-after N: once, after acknowledging N image chunks, the module answers nothing
  more until its next reset (a module gone quiet in the middle of the image).
  --drop-after N: once, after N image bytes, the module closes its pty (the tool's port
  hangs up). The links move at once to a new pty, where the module answers again a
  second later. A --tty that hangs up is reopened the same way.
  --babble: after every reset the module sends a noise byte (never 0xA0) every 5 ms
  and never catches the sync stream, until the next reset (a line that never falls
  silent).
  --late-a0: in normal mode, after 10 consecutive 0x55, the module sends one 0xA0, and
  again after each reset: a boot ROM's answer that arrives late, while the tool is
  already casting for its next reset.

Summary:
  Stage sizes, checksums seen and computed, the file-size record, 0x55 counts, pauses,
  control requests in order and every violation (code and text), times in ms since start.
  Printed at the end of each update attempt and at exit: text, or with --json one JSON
  object per line. --summary-file keeps the latest JSON summary, rewritten atomically
  after every attempt and every control request.

Control:
  kov02a-sim ctl --control PATH ril CODE | reboot CODE | summary [--json] | quit
  For the tool's hooks, e.g. "exec:kov02a-sim ctl --control PATH ril" (the tool appends
  the code). Exit status 0: accepted; 1: refused (unknown code, --fail-ril); 2: no
  simulator answered. The simulator stops on quit, SIGINT or SIGTERM, removing its links
  and socket.
)";

struct FaultArgs {
  std::vector<std::string> withhold;
  std::vector<std::string> wrong;
  std::vector<std::string> extra;
  std::uint64_t silent_after = 0;
  std::string wrong_byte = "0x5A";
  std::string nak;
  std::uint64_t drop_after = 0;
};

struct CtlArgs {
  std::string control;
  std::string code;
  bool json = false;
};

// Decimal or 0x-prefixed hexadecimal, up to `max`.
CLI::Validator number_check(std::uint32_t max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        const std::optional<std::uint32_t> value = parse_number(text);
        return value && *value <= max ? "" : "'" + text + "' is not a number from 0 to " + hex_code(max);
      },
      "");
}

void add_line_options(CLI::App& app, SimOptions& options) {
  CLI::Option* link =
      app.add_option("--link", options.links, "Symbolic link to the module's pty (repeatable)")
          ->type_name("PATH");
  app.add_option("--tty", options.tty, "Play the module on this serial device instead of a pty")
      ->excludes(link)
      ->type_name("PATH");
  app.add_option("--control", options.control, "Control socket path")->type_name("PATH");
  app.add_option("--null-modem", options.null_modem, "Two ptys joined as a cable, linked at these paths")
      ->expected(2)
      ->type_name("PATH_A PATH_B");
  app.add_option("--baud", options.baud, "Pace the ptys at this bit rate (0: no pacing)")->type_name("RATE");
  app.add_option("--save-image", options.save_image, "Write each fully received image here")
      ->type_name("PATH");
  app.add_option("--summary-file", options.summary_file, "Keep the latest JSON summary here")
      ->type_name("PATH");
  app.add_flag("--json", options.json, "Summaries on stdout as JSON lines");
}

void add_fault_options(CLI::App& app, SimOptions& options, FaultArgs& faults) {
  app.add_option("--noise", options.module.noise, "Noise bytes sent before 0xA0 (never 0xA0)")
      ->type_name("N");
  app.add_option("--withhold-ack", faults.withhold, "Withhold an answer (repeatable)")
      ->type_name("POINT[:once|:always]");
  app.add_option("--wrong-ack", faults.wrong, "Send a wrong answer (repeatable)")
      ->type_name("POINT[:once|:always]");
  app.add_option("--extra-ack", faults.extra, "Send an answer with one byte too many (repeatable)")
      ->type_name("POINT[:once|:always]");
  app.add_option("--silent-after", faults.silent_after, "Answer nothing after this many image chunks, once")
      ->check(CLI::PositiveNumber)
      ->type_name("CHUNKS");
  app.add_option("--wrong-byte", faults.wrong_byte, "The wrong answer byte")
      ->check(number_check(0xFF))
      ->type_name("BYTE");
  app.add_option("--nak", faults.nak, "Byte sent when a stage is rejected (default: none)")
      ->check(number_check(0xFF))
      ->type_name("BYTE");
  app.add_option("--drop-after", faults.drop_after, "Leave the line after this many image bytes, once")
      ->check(CLI::PositiveNumber)
      ->type_name("BYTES");
  app.add_flag("--fail-ril", options.module.fail_ril, "Refuse every RIL request");
  app.add_flag("--babble", options.module.babble, "After each reset send noise for ever, never 0xA0");
  app.add_flag("--late-a0", options.module.late_answer,
               "Answer the 0x55 stream in normal mode with one late 0xA0, again after each reset");
}

bool apply_faults(const FaultArgs& faults, ModuleOptions& module) {
  for (const auto& [texts, fault] : {std::pair{&faults.withhold, AckFault::Withhold},
                                     {&faults.wrong, AckFault::Wrong},
                                     {&faults.extra, AckFault::Extra}}) {
    for (const std::string& text : *texts) {
      std::string error;
      const std::optional<FaultRule> rule = parse_fault(text, fault, error);
      if (!rule) {
        std::cerr << "kov02a-sim: " << error << "\n";
        return false;
      }
      module.faults.add(*rule);
    }
  }
  module.wrong_byte = static_cast<std::uint8_t>(*parse_number(faults.wrong_byte));
  if (!faults.nak.empty()) module.nak = static_cast<std::uint8_t>(*parse_number(faults.nak));
  if (faults.drop_after > 0) module.drop_after = faults.drop_after;
  if (faults.silent_after > 0) module.silent_after = faults.silent_after;
  return true;
}

int run_ctl(const CtlArgs& args, const ControlCommand& command) {
  ControlReply reply;
  try {
    reply = send_control(args.control, command);
  } catch (const std::exception& error) {
    std::cerr << "kov02a-sim ctl: " << error.what() << "\n";
    return 2;
  }
  std::cout << reply.text << std::flush;
  if (reply.accepted) return 0;
  std::cerr << "kov02a-sim ctl: " << reply.status << "\n";
  return reply.reached ? 1 : 2;
}

void add_ctl(CLI::App& ctl, CtlArgs& args) {
  ctl.add_option("--control", args.control, "The simulator's control socket")->required()->type_name("PATH");
  ctl.require_subcommand(1);
  CLI::App* ril =
      ctl.add_subcommand("ril", "A RIL request: 0x03001F80 suspend, 0x03001F84 resume, 0x03001F88 reset");
  CLI::App* reboot = ctl.add_subcommand("reboot", "The reboot request, 0x0101003C");
  for (CLI::App* verb : {ril, reboot}) {
    verb->add_option("code", args.code, "Control code")
        ->required()
        ->check(number_check(0xFFFFFFFF))
        ->type_name("CODE");
  }
  ctl.add_subcommand("summary", "Print the summary")->add_flag("--json", args.json, "As one JSON line");
  ctl.add_subcommand("quit", "Stop the simulator");
}

ControlCommand chosen_command(const CLI::App& ctl, const CtlArgs& args) {
  ControlCommand command;
  if (ctl.got_subcommand("ril")) command.verb = ControlCommand::Verb::Ril;
  if (ctl.got_subcommand("reboot")) command.verb = ControlCommand::Verb::Reboot;
  if (ctl.got_subcommand("summary")) command.verb = ControlCommand::Verb::Summary;
  if (!args.code.empty()) command.code = *parse_number(args.code);
  command.json = args.json;
  return command;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  CLI::App app{"kov02a-sim: plays the KOV02A radio module at the far end of a serial line"};
  SimOptions options;
  FaultArgs faults;
  app.set_version_flag("--version", "kov02a-sim " KOV02_VERSION);
  add_line_options(app, options);
  add_fault_options(app, options, faults);
  CtlArgs ctl_args;
  CLI::App* ctl = app.add_subcommand("ctl", "Send a request to a running simulator");
  add_ctl(*ctl, ctl_args);
  app.footer(kFooter);  // after the subcommands, which would inherit it
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  if (ctl->parsed()) return run_ctl(ctl_args, chosen_command(*ctl, ctl_args));
  if (!apply_faults(faults, options.module)) return 2;
  return run_simulator(std::move(options));
}

}  // namespace kov02a_sim
