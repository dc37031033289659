# Read by CPack before it packages: the archives' file times come from SOURCE_DATE_EPOCH,
# which is the configure's own when the caller sets none.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_VORLENT_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_VORLENT_SOURCE_DATE_EPOCH})
endif()
