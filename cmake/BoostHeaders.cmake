# Where Boost's headers come from (the project uses header-only Boost: Asio, Beast, System).
#
#  - TARNEL_BOOST_INCLUDE_DIR (or the environment variable of that name): a directory holding
#    boost/version.hpp. Only that directory is used; CMake's Boost search is not run at all, so a system
#    Boost cannot slip in through its CMake package files.
#  - Under pip (scikit-build-core sets SKBUILD) it defaults to the headers of the `boost-headers` build
#    requirement pinned in pyproject.toml: a pip install needs no Boost on the machine.
#  - Otherwise (a developer's plain CMake build) the system's Boost, 1.81 or newer, found by CMake.
#
# Either way Boost::headers is the target to link, and the configure step prints the version and the
# directory in use.
set(TARNEL_BOOST_MINIMUM 1.81)
set(TARNEL_BOOST_INCLUDE_DIR "$ENV{TARNEL_BOOST_INCLUDE_DIR}" CACHE PATH
  "Boost headers to build against (a directory holding boost/version.hpp); empty: the system's, or under pip the boost-headers build requirement")

if(NOT TARNEL_BOOST_INCLUDE_DIR AND SKBUILD)
  if(NOT Python_EXECUTABLE)  # scikit-build-core passes the building interpreter
    find_package(Python 3.11 REQUIRED COMPONENTS Interpreter)
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "import boost_headers; print(boost_headers.get_include())"
    OUTPUT_VARIABLE TARNEL_BOOST_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE tarnel_boost_headers_found ERROR_QUIET)
  if(NOT tarnel_boost_headers_found EQUAL 0)
    message(FATAL_ERROR "The boost-headers build requirement is not importable by ${Python_EXECUTABLE}: "
      "install the build requirements of pyproject.toml (pip does so unless --no-build-isolation is given)")
  endif()
  set(tarnel_boost_origin "the boost-headers Python package")
endif()

if(TARNEL_BOOST_INCLUDE_DIR)
  set(tarnel_boost_version_header "${TARNEL_BOOST_INCLUDE_DIR}/boost/version.hpp")
  if(NOT EXISTS "${tarnel_boost_version_header}")
    message(FATAL_ERROR "TARNEL_BOOST_INCLUDE_DIR=${TARNEL_BOOST_INCLUDE_DIR} holds no boost/version.hpp")
  endif()
  file(STRINGS "${tarnel_boost_version_header}" tarnel_boost_version_line REGEX "^#define BOOST_VERSION [0-9]+")
  string(REGEX REPLACE "^#define BOOST_VERSION ([0-9]+).*" "\\1" tarnel_boost_number "${tarnel_boost_version_line}")
  math(EXPR tarnel_boost_major "${tarnel_boost_number} / 100000")
  math(EXPR tarnel_boost_minor "${tarnel_boost_number} / 100 % 1000")
  math(EXPR tarnel_boost_patch "${tarnel_boost_number} % 100")
  set(Boost_VERSION "${tarnel_boost_major}.${tarnel_boost_minor}.${tarnel_boost_patch}")
  if(Boost_VERSION VERSION_LESS TARNEL_BOOST_MINIMUM)
    message(FATAL_ERROR "Boost ${Boost_VERSION} in ${TARNEL_BOOST_INCLUDE_DIR} is older than ${TARNEL_BOOST_MINIMUM}")
  endif()
  if(NOT TARGET Boost::headers)
    add_library(Boost::headers INTERFACE IMPORTED)
    set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${TARNEL_BOOST_INCLUDE_DIR}")
  endif()
  if(NOT tarnel_boost_origin)
    set(tarnel_boost_origin "TARNEL_BOOST_INCLUDE_DIR")
  endif()
  message(STATUS "Boost ${Boost_VERSION} headers: ${TARNEL_BOOST_INCLUDE_DIR} (from ${tarnel_boost_origin})")
else()
  # Boost's own CMake package files (every Boost since 1.70 has them), not CMake's FindBoost, which CMake
  # 3.30 retired.
  if(POLICY CMP0167)
    cmake_policy(SET CMP0167 NEW)
  endif()
  find_package(Boost ${TARNEL_BOOST_MINIMUM} QUIET)
  if(NOT Boost_FOUND)
    message(FATAL_ERROR "Boost ${TARNEL_BOOST_MINIMUM} or newer was not found. Install your system's Boost development "
      "package (Debian 12: libboost1.81-dev), or point TARNEL_BOOST_INCLUDE_DIR at other headers, for example those "
      "of `pip install boost-headers`: python -c 'import boost_headers; print(boost_headers.get_include())'")
  endif()
  get_target_property(tarnel_boost_dirs Boost::headers INTERFACE_INCLUDE_DIRECTORIES)
  message(STATUS "Boost ${Boost_VERSION} headers: ${tarnel_boost_dirs} (the system's, found by CMake)")
endif()
