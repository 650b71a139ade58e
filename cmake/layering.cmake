# The layers of the daemon, enforced by the build: each library sees, on its
# include path, only its own folder and the folders below it. An #include
# that points up a layer finds no file and fails to compile.
#
#   daemon -> agent -> webui -> bluez -> settings, io -> common
#   client (pairgate-pair) -> io -> common
#
# The view of a library is a directory of links, one per visible folder.
# Header-only reach that no compiled file of the lower library makes is
# caught by the ctest entry "layering" (tests/layering).

set(PAIRGATE_LAYERS_common common)
set(PAIRGATE_LAYERS_settings settings common)
set(PAIRGATE_LAYERS_io io common)
set(PAIRGATE_LAYERS_bluez bluez settings io common)
set(PAIRGATE_LAYERS_webui webui bluez settings io common)
set(PAIRGATE_LAYERS_agent agent webui bluez settings io common)
set(PAIRGATE_LAYERS_daemon daemon agent webui bluez settings io common)
set(PAIRGATE_LAYERS_client client io common)

# Gives target the view of layer (a folder name above) as its include path.
function(pairgate_layer target layer)
  set(view ${PROJECT_BINARY_DIR}/layers/${layer})
  if(NOT EXISTS ${view})
    file(MAKE_DIRECTORY ${view})
    foreach(folder ${PAIRGATE_LAYERS_${layer}})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
    endforeach()
  endif()
  target_include_directories(${target} PRIVATE ${view})
endfunction()
