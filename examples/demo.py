"""A short tour of vorl: write a table, show the text, read it back, show an error."""
import vorl

table = [
    ["id", "name", "city"],
    ["1", "Ada", "London"],
    ["2", "Zoë", "Zürich"],          # accented
    ["3", "李小龍", "香港"],           # CJK
    ["4", "🦊 fox", "🌍"],            # astral: two UTF-16 units each
    [],                              # an empty row
    ["5", "semi;colon", "0123456789"],
]

text = vorl.stringify(table)
print("VORL text:")
print(" ", text)

rows = vorl.parse(text)
print("read back equal:", rows == table)
for row in rows:
    print("  ", row)

broken = text[:-1] + "x"
try:
    vorl.parse("02🦊0x;")
except SyntaxError as error:
    print("SyntaxError:", error)
try:
    vorl.parse(broken)
except SyntaxError as error:
    print("SyntaxError:", error)
