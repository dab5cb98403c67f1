# Runs the texture maker into OUT and checks that the files shipped in DEMO
# are exactly what it makes, and that both are BMPs of the kind the program
# reads: "BM", a 40-byte info header, 24 bits, no compression, width a
# multiple of 4.
#   cmake -DTOOL=... -DDEMO=... -DOUT=... -P check_demo_assets.cmake
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${TOOL} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the texture maker failed: ${rc}")
endif()

# Little-endian field of Size bytes at Offset of the hex dump Hex.
function(field hex offset size out)
  set(value 0)
  math(EXPR last "${offset} + ${size} - 1")
  foreach(i RANGE ${last} ${offset} -1)
    math(EXPR at "${i} * 2")
    string(SUBSTRING "${hex}" ${at} 2 byte)
    math(EXPR value "${value} * 256 + 0x${byte}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()

foreach(entry "reflect.bmp;256;256" "background.bmp;512;256")
  list(GET entry 0 name)
  list(GET entry 1 want_width)
  list(GET entry 2 want_height)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/${name} ${DEMO}/${name} RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "demo/${name} is not what sorvel2-make-assets makes: run `ninja demo-assets`")
  endif()
  file(READ ${DEMO}/${name} hex LIMIT 54 HEX)
  file(SIZE ${DEMO}/${name} size)
  string(SUBSTRING "${hex}" 0 4 magic)
  field("${hex}" 2 4 file_size)
  field("${hex}" 10 4 offset)
  field("${hex}" 14 4 header)
  field("${hex}" 18 4 width)
  field("${hex}" 22 4 height)
  field("${hex}" 28 2 bits)
  field("${hex}" 30 4 compression)
  math(EXPR width_mod "${width} % 4")
  math(EXPR pixel_bytes "${width} * ${height} * 3")
  math(EXPR want_size "54 + ${pixel_bytes}")
  if(NOT magic STREQUAL "424d" OR NOT header EQUAL 40 OR NOT bits EQUAL 24 OR NOT compression EQUAL 0
     OR NOT offset EQUAL 54 OR NOT width EQUAL want_width OR NOT height EQUAL want_height OR NOT width_mod EQUAL 0
     OR NOT file_size EQUAL size OR NOT size EQUAL want_size)
    message(FATAL_ERROR "${name}: magic ${magic}, header ${header}, ${width}x${height}x${bits}, compression "
                        "${compression}, offset ${offset}, size ${size} (header says ${file_size})")
  endif()
  message(STATUS "${name}: ${width} x ${height}, 24-bit, as shipped")
endforeach()
