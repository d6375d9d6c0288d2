# The extension module py_engine_tarnel, built against the limited API (abi3) and NumPy's C API.
# FindPython's Development.SABIModule, which gives the abi3 library, came with CMake 3.26.
if(CMAKE_VERSION VERSION_LESS 3.26)
  message(FATAL_ERROR "Building the Python module needs CMake 3.26 or newer (this is ${CMAKE_VERSION}); "
    "`pip install cmake` brings one, or configure with -DTARNEL_BUILD_MODULE=OFF for the C++ tests only")
endif()
find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.SABIModule)

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE TARNEL_NUMPY_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE TARNEL_NUMPY_FOUND)
if(NOT TARNEL_NUMPY_FOUND EQUAL 0)
  message(FATAL_ERROR "NumPy (2.x headers) is needed to build the module")
endif()

file(GLOB TARNEL_MODULE_SOURCES CONFIGURE_DEPENDS
  src/module/*.cpp src/bridge/*.cpp src/decode/*.cpp src/engine/*.cpp)
Python_add_library(py_engine_tarnel MODULE USE_SABI 3.11 WITH_SOABI ${TARNEL_MODULE_SOURCES})
target_include_directories(py_engine_tarnel PRIVATE src ${TARNEL_NUMPY_INCLUDE})
# NPY_TARGET_VERSION keeps the compiled module loadable by NumPy 1.26 while built with NumPy 2 headers.
target_compile_definitions(py_engine_tarnel PRIVATE
  NPY_NO_DEPRECATED_API=NPY_1_26_API_VERSION NPY_TARGET_VERSION=NPY_1_26_API_VERSION)
target_link_libraries(py_engine_tarnel PRIVATE tarnel_codec)
target_link_libraries(py_engine_tarnel PRIVATE tarnel_runtime)
if(TARGET tarnel_ws)
  target_link_libraries(py_engine_tarnel PRIVATE tarnel_ws)
endif()

install(TARGETS py_engine_tarnel LIBRARY DESTINATION .)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/py_engine_tarnel.pyi)
  install(FILES py_engine_tarnel.pyi DESTINATION .)
endif()
