# AddressSanitizer + UndefinedBehaviorSanitizer for the whole build; any finding aborts.
if(QZP_SANITIZE)
  set(_qzp_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${_qzp_san})
  add_link_options(-fsanitize=address,undefined)
endif()
if(QZP_FUZZ)
  # Libraries are instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
