# What the wheel carries besides the module (installed into the wheel's root, beside the module):
#  - the reference user interface inside the tarnel_rl package (tarnel_rl/ui): the page, the live viewer, their modules,
#    the trivial page that benchmarks measure the page against, and the Node.js runner, with the runner's one
#    npm package (`ws`) when `npm ci` has put it in ui/; a wheel
#    built without it installs it on first use (tarnel_rl.ui_host);
#  - the type stub once more as a stub-only package, py_engine_tarnel-stubs/__init__.pyi, which is how
#    type checkers find the stub of a distribution that is a single extension module. The root
#    py_engine_tarnel.pyi stays the one source; this is a copy of it.
set(TARNEL_UI_DIR ${CMAKE_CURRENT_SOURCE_DIR}/ui)
install(FILES ${TARNEL_UI_DIR}/index.html ${TARNEL_UI_DIR}/viewer.html ${TARNEL_UI_DIR}/package.json
  ${TARNEL_UI_DIR}/package-lock.json ${TARNEL_UI_DIR}/README.md
  DESTINATION tarnel_rl/ui)
install(DIRECTORY ${TARNEL_UI_DIR}/src ${TARNEL_UI_DIR}/node ${TARNEL_UI_DIR}/trivial DESTINATION tarnel_rl/ui
  FILES_MATCHING PATTERN "*.js" PATTERN "*.mjs" PATTERN "*.html")
if(EXISTS ${TARNEL_UI_DIR}/node_modules/ws/package.json)
  install(DIRECTORY ${TARNEL_UI_DIR}/node_modules/ws DESTINATION tarnel_rl/ui/node_modules)
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/py_engine_tarnel.pyi)
  install(FILES py_engine_tarnel.pyi DESTINATION py_engine_tarnel-stubs RENAME __init__.pyi)
endif()
