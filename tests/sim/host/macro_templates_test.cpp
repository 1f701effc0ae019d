// Macro bodies render as the host's Jinja2 renders them. Every expected text below is what
// the host's own template code gives for the same body, context and status.
#include <gtest/gtest.h>

#include "klippy/host/errors.h"
#include "klippy/host/gcode.h"
#include "sim/host/jinja_templates.h"
#include "tests/support/start_error.h"
#include "tests/support/test_host.h"

namespace {

using Lines = std::vector<std::string>;
using testing_support::TestHost;

const std::string kConfig =
    "[save_variables]\nfilename: /home/zur/printer_data/config/saved_variables.cfg\n"
    "[gcode_macro SETTINGS]\nvariable_speed: 120\nvariable_colours: ['Red', 'Green']\n"
    "variable_mask: 0x10\ngcode:\n"
    "[gcode_macro PASS_ON]\ngcode:\n"
    "  SHOW TEXT=\"{% for k in params %}{k}={params[k]} {% endfor %}| {rawparams}\"\n"
    "[gcode_macro UNDEFINED]\ngcode:\n  SHOW TEXT={printer.nope.x}\n"
    "[gcode_macro REFUSE]\ngcode:\n  {action_raise_error('no slot ' ~ params.N)}\n"
    "[gcode_macro MIXED]\ngcode:\n  SHOW TEXT={params.T|float + 'x'}\n"
    "[gcode_macro TELL]\ngcode:\n  {action_respond_info('hello ' ~ params.N)}\n"
    "  {action_call_remote_method('notify', text='x')}SHOW TEXT=after\n"
    "[gcode_macro WAITING]\ngcode:\n  SHOW TEXT={printer.waiting_sensor.level}\n"
    "[gcode_macro HALT]\ngcode:\n  {action_emergency_stop('lost filament')}\n";

class MacroTemplates : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start(kConfig);
    gcode().register_command("SHOW",
                             [this](klippy::GCodeCommand& g) { shown.push_back(g.get("TEXT")); });
    host.command("SAVE_VARIABLE VARIABLE=nozzle VALUE=0.4");
  }
  klippy::GCodeDispatch& gcode() {
    return static_cast<klippy::GCodeDispatch&>(host.host().gcode());
  }
  std::string render(const std::string& body,
                     std::vector<std::pair<std::string, std::string>> params = {}) {
    auto& templates = host.host().printer().lookup_object<sim::TemplateEnvironment>(
        sim::TemplateEnvironment::kName);
    return templates.load_template("gcode_macro X:gcode", body)
        ->render({.params = std::move(params)});
  }
  TestHost host;
  Lines shown;
};

TEST_F(MacroTemplates, CommonExpressionsRenderAsInTheHost) {
  EXPECT_EQ(render("SHOW {% if params.N|int > 2 %}big{% else %}small{% endif %}", {{"N", "3"}}),
            "SHOW big");
  EXPECT_EQ(render("SHOW { params.SLOT }", {{"SLOT", "slot2"}}), "SHOW slot2");
  EXPECT_EQ(render("SHOW {printer[\"gcode_macro SETTINGS\"].speed}"), "SHOW 120");
  EXPECT_EQ(render("SHOW {printer.save_variables.variables.nozzle}"), "SHOW 0.4");
  EXPECT_EQ(render("\n{% if printer.print_stats.state == 'standby' %}\nSHOW idle\n{% endif %}"),
            "\n\nSHOW idle\n");
  EXPECT_EQ(render("SHOW {params.T|float}", {{"T", "210"}}), "SHOW 210.0");
  EXPECT_EQ(render("SHOW {params.T|float + 5 * 2 - 1} {params.L|int // 3} {7 / 2}",
                   {{"T", "200"}, {"L", "10"}}),
            "SHOW 209.0 3 3.5");
  EXPECT_EQ(render("SHOW {\"%.2f\" % (params.T|float)} {params.N|int % 4}",
                   {{"T", "1.234"}, {"N", "10"}}),
            "SHOW 1.23 2");
  EXPECT_EQ(render("SHOW {'hot' if params.T|float > 180 else 'cold'}", {{"T", "150"}}),
            "SHOW cold");
  EXPECT_EQ(render("SHOW {params.COLOR|lower}", {{"COLOR", "Red"}}), "SHOW red");
  EXPECT_EQ(render("{% set t = params.T|default(200)|int + 10 %}\nSHOW {t}"), "\nSHOW 210");
  EXPECT_EQ(render("SHOW {% for c in printer[\"gcode_macro SETTINGS\"].colours %}{c}"
                   "{% if not loop.last %},{% endif %}{% endfor %}"),
            "SHOW Red,Green");
  EXPECT_EQ(render("{% if params.N|int == 1 %}SHOW one{% elif params.N|int == 2 %}SHOW two"
                   "{% else %}SHOW many{% endif %}",
                   {{"N", "2"}}),
            "SHOW two");
  // Variables are Python literals, read as the host reads them.
  EXPECT_EQ(render("SHOW {printer['gcode_macro SETTINGS'].mask + 1}"), "SHOW 17");
}

// The host's dict of parameters keeps the line's order, which a body that passes its
// parameters on relies on; rawparams is the line after the command name.
TEST_F(MacroTemplates, ParametersKeepTheLinesOrder) {
  host.command("PASS_ON b=2 A=1");
  EXPECT_EQ(shown, (Lines{"B=2 A=1 | b=2 A=1"}));
}

TEST_F(MacroTemplates, FailuresSayWhatTheHostSays) {
  EXPECT_EQ(host.command("UNDEFINED").back(),
            "!! Error evaluating 'gcode_macro UNDEFINED:gcode': jinja2.exceptions.UndefinedError: "
            "'extras.gcode_macro.GetStatusWrapper object' has no attribute 'nope'");
  EXPECT_EQ(host.command("REFUSE N=3").back(),
            "!! Error evaluating 'gcode_macro REFUSE:gcode': gcode.CommandError: no slot 3");
  EXPECT_EQ(host.command("MIXED T=1").back(),
            "!! Error evaluating 'gcode_macro MIXED:gcode': TypeError: unsupported operand "
            "type(s) for +: 'float' and 'str'");
  EXPECT_TRUE(shown.empty());
}

TEST_F(MacroTemplates, ActionsReachThePrinter) {
  EXPECT_EQ(host.command("TELL N=3"), (Lines{"// hello 3"}));
  EXPECT_EQ(shown, (Lines{"after"}));
  host.command("HALT");
  EXPECT_EQ(host.host().printer().shutdown_message(), "Shutdown due to lost filament");
}

// A status read from a template must not wait, in this host as in the host.
class WaitingSensor final : public klippy::PrinterObject {
 public:
  explicit WaitingSensor(klippy::Reactor& reactor) : reactor_(reactor) {}
  std::optional<klippy::Value> get_status(double eventtime) override {
    reactor_.pause(eventtime + 1);
    return klippy::Value(klippy::Value::Dict{{"level", 1}});
  }

 private:
  klippy::Reactor& reactor_;
};

TEST_F(MacroTemplates, AStatusThatWaitsFailsTheMacro) {
  host.host().printer().add_object(
      "waiting_sensor", std::make_shared<WaitingSensor>(host.host().printer().get_reactor()));
  EXPECT_EQ(host.command("WAITING").back(),
            "!! Error evaluating 'gcode_macro WAITING:gcode': reactor.ReactorError: Internal "
            "error - reactor pause disabled");
  EXPECT_TRUE(shown.empty());
}

// Python's parser needs more stack for a deeply nested literal than a reactor task has.
TEST_F(MacroTemplates, DeeplyNestedVariablesParseAsInTheHost) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(host.command("SET_GCODE_VARIABLE MACRO=SETTINGS VARIABLE=speed VALUE=" + nested(190)),
            Lines{});
  EXPECT_EQ(render("{printer['gcode_macro SETTINGS'].speed|length}"), "1");
  const Lines refused =
      host.command("SET_GCODE_VARIABLE MACRO=SETTINGS VARIABLE=speed VALUE=" + nested(300));
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].rfind("!! Unable to parse '[[[", 0), 0u) << refused[0];
  EXPECT_NE(refused[0].find("as a literal: too many nested parentheses (<unknown>, line 1) in "),
            std::string::npos)
      << refused[0];
}

// CPython runs one interpreter per process: hosts alive at the same time share it, and it
// outlives the host that started it while another still renders.
TEST(MacroTemplateHosts, HostsAliveAtOnceShareTheInterpreter) {
  const std::string config = "[gcode_macro SAY]\ngcode:\n  {action_respond_info(params.W|lower)}\n";
  auto first = std::make_unique<TestHost>();
  first->start(config);
  TestHost second;
  second.start(config);
  EXPECT_EQ(first->command("SAY W=One"), Lines{"// one"});
  first.reset();
  EXPECT_EQ(second.command("SAY W=Two"), Lines{"// two"});
}

std::string start_error(const std::string& config) {
  return testing_support::start_error<TestHost>(config);
}

TEST(MacroTemplateStart, ABodyOrVariableTheHostRefusesFailsTheStart) {
  EXPECT_EQ(start_error("[gcode_macro SHOUT]\ngcode:\n  M117 {params.T|shout}\n"),
            "Error loading template 'gcode_macro SHOUT:gcode'\nline 2: M117 {params.T|shout} # "
            "No filter named 'shout'.");
  EXPECT_EQ(
      start_error("[gcode_macro OPEN]\ngcode:\n  {% if params.T %}\n  G28\n"),
      "Error loading template 'gcode_macro OPEN:gcode'\nline 2: {% if params.T %} # Unexpected "
      "end of template. Jinja was looking for the following tags: 'elif' or 'else' or 'endif'. "
      "The innermost block that needs to be closed is 'if'.");
  EXPECT_EQ(start_error("[gcode_macro SET]\nvariable_x: {1, 2}\ngcode:\n"),
            "Option 'variable_x' in section 'gcode_macro SET' is not a valid literal: Object of "
            "type set is not JSON serializable");
}

}  // namespace
