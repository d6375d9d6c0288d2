// Executors of the link, for the code that sees Asio (see link.hpp for what the link is).
#pragma once

#include <boost/asio/any_io_executor.hpp>

namespace tarnel::runtime {

// A new strand on the link: every handler of one engine's calls and installed connection runs on it.
boost::asio::any_io_executor make_link_strand();

// Whether `executor` runs on the link (and so must be run by whoever hands it work, or kicked).
bool runs_on_link(const boost::asio::any_io_executor& executor);

}  // namespace tarnel::runtime
