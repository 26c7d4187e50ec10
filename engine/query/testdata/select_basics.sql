# Plain selections, DISTINCT, ORDER BY and MaxRecords over one table.
table T (K integer, S string 10, G string 10, N float)
index byK unique K
INSERT INTO T VALUES (1, 'b', 'x', 1.5)
affected 1
INSERT INTO T (K, S, G) VALUES (2, 'a', 'y')
INSERT INTO T VALUES (3, 'B', 'x', 2.5)
INSERT INTO T (K) VALUES (4)
INSERT INTO T VALUES (5, 'a', 'y', 1)

SELECT K, S FROM T WHERE K > 2
= 3|B
= 4|NULL
= 5|a

SELECT K FROM T ORDER BY K DESC
= 5
= 4
= 3
= 2
= 1

SELECT * FROM T WHERE K = 2
= 2|a|y|NULL
