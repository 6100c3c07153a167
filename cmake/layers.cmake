# The layers of src/, one folder each, and the layers each may include from:
# CONTRIBUTING.md's table, read from here by the build, by the web build (see
# below) and by scripts/check_layers.py. Every layer sees the public
# interface too (include/, which holds tolvarin/ alone).
set(tolvarin_layers format fast convert platform cli)
set(tolvarin_layer_uses_format format)
set(tolvarin_layer_uses_fast format fast)
set(tolvarin_layer_uses_convert format fast convert)
set(tolvarin_layer_uses_platform platform)
set(tolvarin_layer_uses_cli platform cli)

# Makes each layer's include root, <roots_dir>/<layer>, holding the folder
# <layer>/ with a link to each of the layer's headers (.hpp, .h) and nothing
# else, and <roots_dir>/<layer>.flags, the -I options of a compile in that
# layer: include/ and the roots of the layers it may use. src/ holds every
# layer, so a compile given src/ would find any header; given these roots, a
# wrong include does not compile. The links are to files, not to the folder:
# through a link to a folder, "fast/../cli/driver.hpp" would climb into the
# real src/, while from a real folder of links it stays in the root.
function(tolvarin_layer_roots source_dir roots_dir)
  foreach(layer IN LISTS tolvarin_layers)
    set(root ${roots_dir}/${layer})
    file(REMOVE_RECURSE ${root})
    set(glob_options)
    if(NOT CMAKE_SCRIPT_MODE_FILE)
      set(glob_options CONFIGURE_DEPENDS)  # a header added or removed remakes the roots
    endif()
    file(GLOB_RECURSE headers ${glob_options} RELATIVE ${source_dir}/src/${layer}
         ${source_dir}/src/${layer}/*.hpp ${source_dir}/src/${layer}/*.h)
    foreach(header IN LISTS headers)
      set(link ${root}/${layer}/${header})
      get_filename_component(folder ${link} DIRECTORY)
      file(MAKE_DIRECTORY ${folder})
      file(CREATE_LINK ${source_dir}/src/${layer}/${header} ${link} SYMBOLIC COPY_ON_ERROR)
      if(NOT IS_SYMLINK ${link} AND NOT CMAKE_SCRIPT_MODE_FILE)
        # A system without symbolic links gets a copy, which an edit of the
        # header must renew.
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source_dir}/src/${layer}/${header})
      endif()
    endforeach()
    set(flags "-I${source_dir}/include")
    foreach(used IN LISTS tolvarin_layer_uses_${layer})
      string(APPEND flags "\n-I${roots_dir}/${used}")
    endforeach()
    file(WRITE ${roots_dir}/${layer}.flags "${flags}\n")
  endforeach()
endfunction()

# Gives a target the include roots of a layer, for the sources of that layer
# it compiles.
function(tolvarin_layer_includes target layer)
  target_link_libraries(${target} PRIVATE tolvarin_interface)
  foreach(used IN LISTS tolvarin_layer_uses_${layer})
    target_include_directories(${target} PRIVATE ${tolvarin_layer_roots_dir}/${used})
  endforeach()
endfunction()

# The web build compiles with make alone; it makes the roots with
#   cmake -DSOURCE=<tree> -DROOTS=<folder> -P cmake/layers.cmake
# and compiles each layer's sources with @<folder>/<layer>.flags.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT SOURCE OR NOT ROOTS)
    message(FATAL_ERROR "set SOURCE to the source tree and ROOTS to the folder for the include roots")
  endif()
  tolvarin_layer_roots(${SOURCE} ${ROOTS})
endif()
