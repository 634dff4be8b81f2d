# Fails when an include line points up or across the layers. What each
# folder may include of the tree (besides itself):
#   mail/core     nothing
#   mail/message  mail/core
#   mail/pop3     mail/core, and mail/message/KelMsg.h (a retrieval makes a message)
#   ui            nothing
#   app/core      mail
#   app/signin    mail, app/core
#   app/windows   mail, ui, app/core, app/signin
# Files of the tree are included by their path from the repository root.
# Run as: cmake -DSOURCE_DIR=<repository> -P CheckLayers.cmake
set(folders mail/core mail/message mail/pop3 ui app/core app/signin app/windows)
set(allow_mail_core "mail/core/")
set(allow_mail_message "mail/core/" "mail/message/")
set(allow_mail_pop3 "mail/core/" "mail/pop3/" "mail/message/KelMsg.h")
set(allow_ui "ui/")
set(allow_app_core "mail/" "app/core/")
set(allow_app_signin "mail/" "app/core/" "app/signin/")
set(allow_app_windows "mail/" "ui/" "app/core/" "app/signin/" "app/windows/")

set(failures "")
foreach(folder IN LISTS folders)
  string(REPLACE "/" "_" key "${folder}")
  set(allowed ${allow_${key}})
  file(GLOB_RECURSE files "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(f IN LISTS files)
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${f}")
    file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" target "${line}")
      if(NOT target MATCHES "^(mail|ui|app)/")
        list(APPEND failures "${rel}: \"${target}\" does not name its folder from the repository root")
        continue()
      endif()
      set(ok FALSE)
      foreach(prefix IN LISTS allowed)
        string(FIND "${target}" "${prefix}" at)
        if(at EQUAL 0)
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        list(APPEND failures "${rel} includes ${target}, which ${folder} may not reach")
      endif()
    endforeach()
  endforeach()
endforeach()
if(failures)
  string(REPLACE ";" "\n  " text "${failures}")
  message(FATAL_ERROR "Include lines against the layers:\n  ${text}")
endif()
message(STATUS "Every include keeps to its layer.")
