#include "bridge/box_log.h"

#include <pybind11/eval.h>

namespace bridge {
namespace {

namespace py = pybind11;

// Size-rotated like the peers' add-on logs: 5 files of 2 MB at most.
constexpr const char* kBoxLogCode = R"(
import logging, logging.handlers, os, queue

def close_box_log():
    logger = logging.getLogger('feedbox')
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
        listener = getattr(handler, 'feedbox_listener', None)
        if listener is not None:
            listener.stop()
            listener.handlers[0].close()

def open_box_log(path):
    close_box_log()
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        logging.warning('No folder %s for the box log (is base_folder right?): the box logs '
                        'here only', folder)
        return
    try:
        target = logging.handlers.RotatingFileHandler(path, maxBytes=2 * 1024 * 1024,
                                                      backupCount=4)
    except OSError as e:
        logging.warning('The box log %s cannot be written (%s): the box logs here only',
                        path, e)
        return
    target.setFormatter(logging.Formatter('%(asctime)s %(levelname)s %(message)s'))
    lines = queue.SimpleQueue()
    listener = logging.handlers.QueueListener(lines, target)
    handler = logging.handlers.QueueHandler(lines)
    handler.feedbox_listener = listener
    listener.start()
    logging.getLogger('feedbox').addHandler(handler)
)";

// The helpers anew at each call: they run once per host start, and nothing outlives the
// interpreter.
py::dict helpers() {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  py::exec(kBoxLogCode, scope);
  return scope;
}

}  // namespace

py::object box_logger() {
  return py::module_::import("logging").attr("getLogger")("feedbox");
}

void open_box_log(const std::string& path) {
  helpers()["open_box_log"](path);
}

void close_box_log() {
  helpers()["close_box_log"]();
}

}  // namespace bridge
