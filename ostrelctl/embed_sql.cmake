file(READ ${INPUT} sql)
file(WRITE ${OUTPUT} "// Generated from sql/schema.sql.\n#pragma once\ninline constexpr const char* schema_sql = R\"sql(${sql})sql\";\n")
