# Every join kind over two small tables.
table A (ID integer, X string 10)
table B (ID integer, Y string 10)
INSERT INTO A VALUES (1, 'a1')
INSERT INTO A VALUES (2, 'a2')
INSERT INTO A VALUES (3, 'a3')
INSERT INTO B VALUES (2, 'b2')
INSERT INTO B VALUES (3, 'b3')
INSERT INTO B VALUES (4, 'b4')

SELECT A.ID, B.ID FROM A INNER JOIN B ON A.ID = B.ID
= 2|2
= 3|3

SELECT A.ID, B.ID FROM A LEFT OUTER JOIN B ON A.ID = B.ID
= 1|NULL
= 2|2
= 3|3

SELECT A.ID, B.ID FROM A RIGHT OUTER JOIN B ON A.ID = B.ID
= NULL|4
= 2|2
= 3|3

SELECT A.ID, B.ID FROM A FULL OUTER JOIN B ON A.ID = B.ID
= 1|NULL
= NULL|4
= 2|2
= 3|3

SELECT A.ID, B.ID FROM A CROSS JOIN B WHERE A.ID = 1
= 1|2
= 1|3
= 1|4

SELECT A.ID, B.ID FROM A UNION JOIN B
= 1|NULL
= 2|NULL
= 3|NULL
= NULL|2
= NULL|3
= NULL|4

SELECT X, Y FROM A NATURAL JOIN B
= a2|b2
= a3|b3

SELECT X, Y FROM A JOIN B USING (ID)
= a2|b2
= a3|b3

SELECT A.ID, B.ID FROM A, B WHERE A.ID = B.ID AND B.Y <> 'b3'
= 2|2

# A selection on the side an outer join fills with NULLs stays above the join.
SELECT A.ID, B.Y FROM A LEFT OUTER JOIN B ON A.ID = B.ID WHERE B.Y IS NULL
= 1|NULL

# An ON column that no table of the join has.
SELECT A.ID FROM A JOIN B ON A.ID = B.NOPE
! NOPE

# Three tables: a join of a join, and a WHERE join beside it.
table C (ID integer, Z string 10)
INSERT INTO C VALUES (3, 'c3')
SELECT A.X, B.Y, C.Z FROM A JOIN B ON A.ID = B.ID LEFT OUTER JOIN C ON B.ID = C.ID
= a2|b2|NULL
= a3|b3|c3
SELECT A.X, C.Z FROM A, B, C WHERE A.ID = B.ID AND C.ID = B.ID
= a3|c3
