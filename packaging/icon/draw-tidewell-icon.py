#!/usr/bin/env python3
"""Draws Tidewell's alarm-clock icon and prints it as a 32 x 32 XPM.

The XPM is what gets committed and built from; this script is only how I drew it, so that a
change to the picture stays a change of shapes rather than of a hundred hand-placed pixels.
Run: python3 draw-tidewell-icon.py > tidewell.xpm
"""

import math

SIZE = 32
SUB = 4  # samples per pixel side when deciding which shape owns a pixel

# Symbol, colour: twelve, so that the 16-colour .ico holds them all.
PALETTE = [
    (" ", "None"),
    ("#", "#2A1A06"),  # outline: a very dark brown reads softer than black against brass
    ("k", "#000000"),  # hands
    ("o", "#8C5E12"),  # dark brass
    ("b", "#C99A2E"),  # brass
    ("y", "#EDC65C"),  # light brass
    ("h", "#FFF1B8"),  # brass highlight
    ("w", "#FFFFFF"),  # face
    ("g", "#C9CFDA"),  # shadow of the rim on the face
    ("B", "#1C3EBE"),  # main hour marks
    ("l", "#7090E6"),  # small hour marks
    ("r", "#E3151D"),  # centre
]

CX, CY = 16.0, 17.0  # centre of the dial, on a pixel corner so that the picture is symmetric
CASE_R = 11.0
FACE_R = CASE_R - 3.0
LIGHT = (-0.6, -0.8)  # light comes from the upper left


def in_circle(x, y, cx, cy, r):
  return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


# Each bell is a dome on a flat lip, leaning out at 45 degrees, its mouth towards the dial.
BELL_R = 4.8
BELL_ANGLE = math.radians(45)
BELL_D = 12.8  # from the dial's centre to the middle of the bell's mouth
LIP_OVER = 0.8  # how far the lip stands out past the dome on each side
LIP_T = 1.2
KNOB_R = 1.2


def bell_frame(x, y, side):
  """(u, v) of a point in a bell's own frame: u along its axis away from the dial, v across."""
  ax, ay = side * math.sin(BELL_ANGLE), -math.cos(BELL_ANGLE)
  mx, my = CX + ax * BELL_D, CY + ay * BELL_D
  dx, dy = x - mx, y - my
  return dx * ax + dy * ay, -dx * ay + dy * ax


def bell_dome(x, y, side):
  u, v = bell_frame(x, y, side)
  return u >= 0 and u * u + v * v <= BELL_R * BELL_R


def bell_lip(x, y, side):
  u, v = bell_frame(x, y, side)
  return -LIP_T <= u <= 0.2 and abs(v) <= BELL_R + LIP_OVER


def bell_knob(x, y, side):
  u, v = bell_frame(x, y, side)
  return (u - BELL_R - 0.5) ** 2 + v * v <= KNOB_R * KNOB_R


def bell(x, y, side):
  return bell_dome(x, y, side) or bell_lip(x, y, side) or bell_knob(x, y, side)


def hammer(x, y):
  stalk = abs(x - CX) <= 1.0 and 2.4 <= y <= 6.5
  head = abs(x - CX) <= 2.6 and 1.0 <= y <= 3.2
  return stalk or head


def foot(x, y, side):
  """A short splayed leg from the case to the table."""
  # Leg as a thick segment from a point on the case towards the lower corner.
  ax, ay = CX + side * 6.5, 26.0
  bx, by = CX + side * 10.0, 30.4
  vx, vy = bx - ax, by - ay
  t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
  px, py = ax + t * vx, ay + t * vy
  return math.hypot(x - px, y - py) <= 1.9


# Shapes from back to front; the later one wins where they overlap.
SHAPES = [
    ("hammer", hammer),
    ("bellL", lambda x, y: bell(x, y, -1)),
    ("bellR", lambda x, y: bell(x, y, 1)),
    ("footL", lambda x, y: foot(x, y, -1)),
    ("footR", lambda x, y: foot(x, y, 1)),
    ("case", lambda x, y: in_circle(x, y, CX, CY, CASE_R)),
]


def owner(px, py):
  """Which shape a pixel belongs to: the front-most one covering a fair part of it."""
  counts = [0] * len(SHAPES)
  covered = 0
  for sy in range(SUB):
    for sx in range(SUB):
      x = px + (sx + 0.5) / SUB
      y = py + (sy + 0.5) / SUB
      hit = False
      for i, (_, shape) in enumerate(SHAPES):
        if shape(x, y):
          counts[i] += 1
          hit = True
      covered += hit
  if covered * 2 < SUB * SUB:
    return None
  for i in reversed(range(len(SHAPES))):
    if counts[i] * 3 >= SUB * SUB:
      return SHAPES[i][0]
  return SHAPES[max(range(len(SHAPES)), key=lambda i: counts[i])][0]


def brass_tone(nx, ny):
  """Light, mid or dark brass for a surface facing (nx, ny)."""
  lit = nx * LIGHT[0] + ny * LIGHT[1]
  if lit > 0.55:
    return "h" if lit > 0.93 else "y"
  if lit < -0.45:
    return "o"
  return "b"


def draw():
  grid = [[None] * SIZE for _ in range(SIZE)]
  owners = [[owner(x, y) for x in range(SIZE)] for y in range(SIZE)]
  order = [name for name, _ in SHAPES]

  for y in range(SIZE):
    for x in range(SIZE):
      who = owners[y][x]
      if who is None:
        grid[y][x] = " "
        continue
      px, py = x + 0.5, y + 0.5
      if who == "case":
        r = math.hypot(px - CX, py - CY)
        nx, ny = (px - CX) / r, (py - CY) / r
        if r <= FACE_R:
          grid[y][x] = "w"
        else:
          grid[y][x] = brass_tone(nx, ny)
      elif who.startswith("bell"):
        side = -1 if who == "bellL" else 1
        u, v = bell_frame(px, py, side)
        if u < 0.2:
          grid[y][x] = "o"
        else:
          # Back from the bell's frame to the picture's, to light the dome like the case.
          ax, ay = side * math.sin(BELL_ANGLE), -math.cos(BELL_ANGLE)
          r = max(math.hypot(u, v), 1e-6)
          nx, ny = (u * ax - v * ay) / r, (u * ay + v * ax) / r
          grid[y][x] = brass_tone(nx, ny)
      elif who == "hammer":
        grid[y][x] = "y" if px < CX else "o"
      else:  # feet: lit on the side facing the light
        grid[y][x] = "y" if (px - CX) < 0 else "o"

  # Outline: a pixel is edge when it meets the outside or a shape in front of it.
  edge = [[False] * SIZE for _ in range(SIZE)]
  for y in range(SIZE):
    for x in range(SIZE):
      who = owners[y][x]
      if who is None:
        continue
      for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
        nx, ny = x + dx, y + dy
        if not (0 <= nx < SIZE and 0 <= ny < SIZE) or owners[ny][nx] is None:
          edge[y][x] = True
        elif owners[ny][nx] != who and order.index(owners[ny][nx]) > order.index(who):
          edge[y][x] = True
  for y in range(SIZE):
    for x in range(SIZE):
      if edge[y][x]:
        grid[y][x] = "#"

  draw_rim_and_face(grid)
  draw_marks(grid)
  draw_hands(grid)
  for x, y, symbol in TOUCH_UPS:
    grid[y][x] = symbol
  return grid


def draw_rim_and_face(grid):
  """A dark lip round the face, and the rim's shadow falling on its upper left."""
  face = [row[:] for row in grid]
  for y in range(SIZE):
    for x in range(SIZE):
      if grid[y][x] != "w":
        continue
      px, py = x + 0.5, y + 0.5
      r = math.hypot(px - CX, py - CY)
      nx, ny = (px - CX) / r, (py - CY) / r
      next_to_rim = any(
          face[y + dy][x + dx] != "w" for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
      if next_to_rim and nx * LIGHT[0] + ny * LIGHT[1] > 0.1:
        grid[y][x] = "g"
  # The inner lip of the rim: dark where it turns away from the light.
  lip = []
  for y in range(SIZE):
    for x in range(SIZE):
      if grid[y][x] not in ("y", "h", "b", "o"):
        continue
      if any(grid[y + dy][x + dx] in ("w", "g") for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
        lip.append((x, y))
  for x, y in lip:
    px, py = x + 0.5, y + 0.5
    r = math.hypot(px - CX, py - CY)
    lit = ((px - CX) / r) * LIGHT[0] + ((py - CY) / r) * LIGHT[1]
    grid[y][x] = "o" if lit > -0.2 else "y"


def draw_marks(grid):
  """Twelve hour marks: bold blue at 12, 3, 6 and 9, small light blue between."""
  for hour in range(12):
    a = math.radians(hour * 30)
    sx, sy = math.sin(a), -math.cos(a)
    if hour % 3 == 0:
      # Two pixels wide and one deep, right at the edge of the face.
      for along in (FACE_R - 0.7,):
        for across in (-0.5, 0.5):
          x = CX + sx * along + (-sy) * across
          y = CY + sy * along + sx * across
          grid[int(math.floor(y))][int(math.floor(x))] = "B"
    else:
      x = CX + sx * (FACE_R - 1.4)
      y = CY + sy * (FACE_R - 1.4)
      grid[int(math.floor(y))][int(math.floor(x))] = "l"


def draw_hands(grid):
  """Three o'clock: the minute hand up at 12, the shorter hour hand out to 3.

  Both stop a pixel short of their marks; touching, they ran together into one bar.
  """
  for y in range(11, 16):
    grid[y][15] = grid[y][16] = "k"
  for x in range(17, 20):
    grid[16][x] = grid[17][x] = "k"
  for x in (15, 16):
    for y in (16, 17):
      grid[y][x] = "r"


# Pixels the shapes get wrong at this size: (x, y, symbol).
TOUCH_UPS = [
    # The far end of each bell's lip came out as a loose pixel with a notch beside it.
    (4, 3, "#"), (4, 4, "h"), (27, 3, "#"), (27, 4, "b"),
    # Slivers of case left between the feet and the case's outline.
    (10, 26, "#"), (21, 26, "#"),
]


def main():
  grid = draw()
  used = {c for row in grid for c in row}
  palette = [(sym, col) for sym, col in PALETTE if sym in used]
  print("/* XPM */")
  print("/* Tidewell's icon: an alarm clock showing three o'clock."
        " Drawn by draw-tidewell-icon.py. */")
  print("static const char* tidewell_xpm[] = {")
  print(f'"{SIZE} {SIZE} {len(palette)} 1",')
  for sym, col in palette:
    print(f'"{sym} c {col}",')
  for i, row in enumerate(grid):
    print(f'"{"".join(row)}"' + ("," if i < SIZE - 1 else "};"))


if __name__ == "__main__":
  main()
