// Keeps the schema library buildable while it has no schemas.
