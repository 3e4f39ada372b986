// cmds/quotes/kline/bar_frames.cpp: gateway bars to frame, frame to bar records.
#include "cmds/quotes/kline/bar_frames.hpp"

#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

namespace korvanta::kline {

py::object bars_frame(py::handle bars) {
    py::object frame = host::global<"pd">().attr("DataFrame")(bars).attr("convert_dtypes")();
    return strip_tz(std::move(frame));
}

py::list frame_records(py::handle frame) {
    return frame.attr("to_dict")(py::arg("orient") = "records");
}

} // namespace korvanta::kline
