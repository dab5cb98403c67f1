# Runs the icon maker on the committed 256-pixel icon (the demo's frame that
# `ninja icons` draws) into OUT and checks that every other committed size
# and the .ico are exactly what it makes.
#   cmake -DTOOL=... -DICONS=... -DOUT=... -P check_icons.cmake
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${TOOL} ${ICONS}/sorvel2-256.png ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the icon maker failed: ${rc}")
endif()
foreach(name sorvel2-16.png sorvel2-32.png sorvel2-48.png sorvel2-64.png sorvel2-128.png sorvel2-256.png sorvel2.ico)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/${name} ${ICONS}/${name} RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "packaging/icons/${name} is not what sorvel2-make-icons makes: run `ninja icons`")
  endif()
endforeach()
message(STATUS "packaging/icons: every size as made from the 256-pixel frame")
