#include "klippy/extras/feedtag/feedtag.h"

#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/spool_keys.h"
#include "klippy/extras/feedtag/tag_codes.h"
#include "klippy/host/factory.h"

namespace feedtag {
namespace {

std::string reader_name_of_section(const std::string& section_name) {
  const auto space = section_name.find(' ');
  return space == std::string::npos ? section_name : section_name.substr(space + 1);
}

std::vector<std::uint8_t> answer_data(const CardAnswer& answer) {
  auto it = answer.find("data");
  return it == answer.end() ? std::vector<std::uint8_t>{} : data_bytes(it->second);
}

bool answer_has_tag(const CardAnswer& answer) {
  auto it = answer.find("status");
  return it != answer.end() && it->second.is_number() &&
         it->second.as_int() == FeedTag::kStatusTagRead;
}

// "PLA, red, vendor 1": the filament by the name the filament table gives it, the colour
// by its name; a code without a name by its number.
std::string filament_words(feedhub::FeedHub& hub, const TagCodes& codes) {
  // Read afresh: a table edited a moment ago must name what the tag says.
  const auto& names = hub.heating().filament_names(true);
  const auto name = names.find(codes.filament);
  const std::string filament = name != names.end() && !name->second.empty()
                                   ? name->second
                                   : "filament " + std::to_string(codes.filament);
  const std::optional<feedhub::ColourEntry> colour = feedhub::colour_by_code(codes.color);
  return filament + ", " +
         (colour ? std::string(colour->name) : "colour " + std::to_string(codes.color)) +
         ", vendor " + std::to_string(kTagVendor);
}

}  // namespace

FeedTag::FeedTag(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      name_(reader_name_of_section(config.get_name())),
      spi_(printer_.factory().create_spi(config, kSpiMode, "cs_pin", kSpiSpeedHz, kSpiShareType)),
      mcu_(spi_->get_mcu()),
      oid_(mcu_.create_oid()),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")) {
  const std::string oid = std::to_string(oid_);
  // Sent again whenever the host re-attaches to a box that is already configured, so that
  // the chip is polled from a known state.
  mcu_.add_config_cmd("query_fm17550 oid=" + oid + " rest_ticks=0", true);
  mcu_.add_config_cmd("config_fm17550 oid=" + oid + " spi_oid=" + std::to_string(spi_->get_oid()));
  mcu_.register_config_callback([this] { build_config(); });
  // A standard Klipper build on the box fails later with the host's bare "Unknown command":
  // say instead which firmware the box needs, and how to run without the reader.
  printer_.register_event_handler("klippy:mcu_identify", [this] {
    if (mcu_.knows_command(kReadCommand)) return;
    throw klippy::ConfigError(
        "Section 'feedtag " + name_ + "': the box micro-controller '" + mcu_.get_name() +
        "' has no card-reader commands (fm17550_read_card_cb): it runs a standard Klipper "
        "build, not the box firmware. Flash the box firmware (see \"Running in Klipper\" in the "
        "README), or run the box without reading tags: remove the [feedtag ...] sections and "
        "save auto_read_rfid = 0.");
  });
}

void FeedTag::build_config() {
  fm17550_read_card_ =
      mcu_.lookup_query_command(kReadCommand, kReadAnswer, oid_, spi_->get_command_queue());
}

CardAnswer FeedTag::read_card() {
  if (!fm17550_read_card_)
    throw klippy::CommandError("Card reader " + name_ +
                               " is not configured yet; wait until the printer is ready, then "
                               "read the tag again");
  return fm17550_read_card_->send({oid_});
}

void FeedTag::start_rfid_read(const feedhub::TagReadSlot& slot) {
  // The cycle replaced is told off under its own slot's name.
  if (read_rfid_timer_) stop_read();
  stepper_.emplace(slot);
  // The first answer after a pause may still describe an earlier tag.
  read_card();
  get_message_count_ = 1;
  temp_message_1_.reset();
  temp_message_2_.reset();
  had_get_value_ = false;
  read_words_.clear();
  klippy::Reactor& reactor = stepper_->reactor;
  rfid_read_start_time_ = reactor.monotonic();
  ++cycle_;
  read_rfid_timer_ = feedhub::ScopedTimer(
      reactor, [this](double eventtime) { return schedule_rfid_read(eventtime); },
      klippy::Reactor::NOW);
}

void FeedTag::stop_read() {
  if (!read_rfid_timer_) return;
  if (!had_get_value_) respond_info(stepper_->stepper_label + " did not recognize the filament");
  ++cycle_;
  read_rfid_timer_.reset();
}

double FeedTag::schedule_rfid_read(double eventtime) {
  if (eventtime - rfid_read_start_time_ > kMaxReadTime_s) {
    if (!had_get_value_) respond_info(stepper_->stepper_label + " did not recognize the filament");
    return end_cycle();
  }
  const std::uint64_t cycle = cycle_;
  CardAnswer params;
  try {
    params = read_card_from_slot();
  } catch (const klippy::CommandError& e) {
    if (cycle != cycle_) return klippy::Reactor::NEVER;
    // An error escaping a timer would shut the real host down; a box unplugged while its
    // tag is read must not.
    printer_.log().warning("Card reader " + name_ + " failed while reading " +
                           stepper_->stepper_label + ": " + e.what());
    respond_info(
        "Card reader " + name_ + " stopped answering while reading " + stepper_->stepper_label +
        "; check the box's USB connection, then run RFID_READ SLOT=" + stepper_->stepper_name +
        " again");
    return end_cycle();
  }
  // Stopped or replaced while the chip was answering: that cycle is over.
  if (cycle != cycle_) return klippy::Reactor::NEVER;
  if (answer_has_tag(params) && take_in(params)) {
    if (answer_data(*temp_message_1_) == answer_data(*temp_message_2_)) {
      try {
        store_codes(params);
      } catch (const klippy::CommandError& e) {
        printer_.log().error("Card reader " + name_ + ": " + e.what());
        respond_info("The tag of " + stepper_->stepper_label + " was read but not saved (" +
                     e.what() + "); check the saved-variables file, then read the tag again");
      }
    }
    return end_cycle();
  }
  return eventtime + kPollPeriod_s;
}

bool FeedTag::take_in(const CardAnswer& answer) {
  // Alternating slots: the first successful read lands in temp_message_2.
  if (get_message_count_ % 2 == 0)
    temp_message_1_ = answer;
  else
    temp_message_2_ = answer;
  ++get_message_count_;
  return get_message_count_ == 3;
}

void FeedTag::store_codes(const CardAnswer& answer) {
  const std::optional<TagCodes> codes = decode_tag(answer_data(answer));
  if (!codes) {
    respond_info("Unrecognized label read in " + stepper_->stepper_label);
    return;
  }
  feedhub::FeedHub& hub = stepper_->feedhub;
  const std::string& slot = stepper_->stepper_name;
  hub.variables().save_variable("filament_" + slot, codes->filament);
  hub.variables().save_variable("color_" + slot, codes->color);
  hub.variables().save_variable("vendor_" + slot, kTagVendor);
  // The tag speaks for the spool now, not an earlier description's words.
  hub.variables().remove_variables(feedhub::described_spool_keys(slot));
  had_get_value_ = true;
  read_words_ = filament_words(hub, *codes);
  if (stepper_->caller_announces) return;
  // Read while another operation (the slot's load) moves the strand: the box is not done.
  const feedhub::Activity* running = hub.activities().current();
  feedhub::announce_success(
      hub,
      feedhub::done_text(feedhub::Operation::TagRead, feedhub::slot_of_name(klippy::Value(slot))),
      rfid_read_start_time_, read_words_ + (running ? "; still " + running->text : ""));
}

double FeedTag::end_cycle() {
  ++cycle_;
  // Unregistering from inside its own callback is safe; the host keeps the callback alive
  // until it returns.
  read_rfid_timer_.reset();
  return klippy::Reactor::NEVER;
}

void FeedTag::respond_info(const std::string& text) {
  gcode_.respond_info(text);
}

}  // namespace feedtag
