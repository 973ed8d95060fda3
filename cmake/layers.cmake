# layers.cmake - mailward_layer(): one layer of the library as an object
# library that can include only what it is declared to use.
#
#   mailward_layer(NAME [FOLDER dir] [SOURCES file...] [USES layer...]
#                  [LINKS target...])
#
# NAME's sources are FOLDER/*.cpp (FOLDER defaults to NAME), or only the
# listed SOURCES in FOLDER. The layer includes its headers as "NAME/x.h" and
# those of a lower layer as "LAYER/x.h"; so that nothing else resolves, its
# only include folder for them is a view in the build tree,
# layers/NAME/, holding one link per folder it may see: its own and those of
# the layers it USES and of theirs, declared before it. LINKS are the targets
# it needs besides (the public header, the platform libraries), which bring
# their own include folders; a layer also gets the LINKS of the layers it
# uses, as their headers include those. Every layer is built with MAILWARD_BUILDING, as
# its objects go into the exporting shared library.

# Root of the views; one folder per layer.
set(MAILWARD_LAYER_VIEWS ${CMAKE_BINARY_DIR}/layers)

function(mailward_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 L "" "FOLDER" "SOURCES;USES;LINKS")
  if(NOT L_FOLDER)
    set(L_FOLDER ${name})
  endif()

  # The folders this layer sees: its own and everything its lower layers see.
  # Its links: its own and those of its lower layers, whose headers it reads.
  set(sees ${L_FOLDER})
  set(links ${L_LINKS})
  foreach(used ${L_USES})
    get_property(used_sees GLOBAL PROPERTY MAILWARD_LAYER_SEES_${used})
    get_property(used_links GLOBAL PROPERTY MAILWARD_LAYER_LINKS_${used})
    if(NOT used_sees)
      message(FATAL_ERROR "layer ${name} uses ${used}, which is not declared before it")
    endif()
    list(APPEND sees ${used_sees})
    list(APPEND links ${used_links})
  endforeach()
  list(REMOVE_DUPLICATES sees)
  list(REMOVE_DUPLICATES links)
  set_property(GLOBAL PROPERTY MAILWARD_LAYER_SEES_${name} ${sees})
  set_property(GLOBAL PROPERTY MAILWARD_LAYER_LINKS_${name} ${links})

  # The view: links only (a stale link from an earlier configuration goes).
  set(view ${MAILWARD_LAYER_VIEWS}/${name})
  file(MAKE_DIRECTORY ${view})
  file(GLOB old_links LIST_DIRECTORIES true ${view}/*)
  foreach(link ${old_links})
    if(IS_SYMLINK ${link})
      file(REMOVE ${link})
    endif()
  endforeach()
  foreach(folder ${sees})
    get_filename_component(leaf ${folder} NAME)
    file(CREATE_LINK ${MAILWARD_SOURCE_DIR}/${folder} ${view}/${leaf} SYMBOLIC)
  endforeach()

  if(L_SOURCES)
    list(TRANSFORM L_SOURCES PREPEND ${MAILWARD_SOURCE_DIR}/${L_FOLDER}/)
  else()
    file(GLOB L_SOURCES CONFIGURE_DEPENDS ${MAILWARD_SOURCE_DIR}/${L_FOLDER}/*.cpp)
  endif()
  if(NOT L_SOURCES)
    # A layer of headers alone: nothing to compile, but the layers above
    # see it only when they declare it.
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY MAILWARD_COMPILED_LAYERS ${name})
  add_library(mailward_${name} OBJECT ${L_SOURCES})
  target_include_directories(mailward_${name} PRIVATE ${view})
  target_compile_definitions(mailward_${name} PRIVATE MAILWARD_BUILDING)
  target_link_libraries(mailward_${name} PRIVATE ${links})
endfunction()

# mailward_header_view(TARGET SCOPE HEADER...): TARGET's include folder for
# exactly these headers (paths below the source tree), each reached as
# "FOLDER/name.h" after the folder it lies in, through a view of links in the
# build tree. A library whose public view holds only its public header keeps
# its internal headers from everyone who links it.
function(mailward_header_view target scope)
  set(view ${CMAKE_BINARY_DIR}/views/${target}-${scope})
  file(REMOVE_RECURSE ${view})
  foreach(header ${ARGN})
    get_filename_component(folder ${header} DIRECTORY)
    get_filename_component(leaf ${folder} NAME)
    get_filename_component(file ${header} NAME)
    file(MAKE_DIRECTORY ${view}/${leaf})
    file(CREATE_LINK ${MAILWARD_SOURCE_DIR}/${header} ${view}/${leaf}/${file} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${view}>)
endfunction()

# mailward_folder_view(TARGET SCOPE FOLDER...): TARGET's include folder for
# every header of these folders, reached as "LEAF/name.h".
function(mailward_folder_view target scope)
  set(view ${CMAKE_BINARY_DIR}/views/${target}-${scope}-folders)
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(folder ${ARGN})
    get_filename_component(leaf ${folder} NAME)
    file(CREATE_LINK ${MAILWARD_SOURCE_DIR}/${folder} ${view}/${leaf} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${view}>)
endfunction()

# mailward_layer_probe(TARGET LAYER SOURCE): an object library outside the
# default build, compiled exactly as LAYER's own sources are, so that a test
# can build it and see what that layer can and cannot include.
function(mailward_layer_probe target layer source)
  get_property(links GLOBAL PROPERTY MAILWARD_LAYER_LINKS_${layer})
  add_library(${target} OBJECT EXCLUDE_FROM_ALL ${source})
  target_include_directories(${target} PRIVATE ${MAILWARD_LAYER_VIEWS}/${layer})
  target_compile_definitions(${target} PRIVATE MAILWARD_BUILDING)
  target_link_libraries(${target} PRIVATE ${links})
endfunction()
