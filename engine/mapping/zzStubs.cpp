void nxsdFieldMapperRegisterDates() {}
void nxsdFieldMapperRegisterStrings() {}
void nxsdFieldMapperRegisterTexts() {}
void nxsdFieldMapperRegisterChars() {}
