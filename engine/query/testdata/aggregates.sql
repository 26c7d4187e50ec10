# Aggregates over empty, NULL-only and DISTINCT input; GROUP BY, HAVING.
table T (K integer, S string 10, G string 10, N float)
index byK unique K
table E (K integer, S string 10)
INSERT INTO T VALUES (1, 'b', 'x', 1.5)
INSERT INTO T (K, S, G) VALUES (2, 'a', 'y')
INSERT INTO T VALUES (3, 'B', 'x', 2.5)
INSERT INTO T (K) VALUES (4)
INSERT INTO T VALUES (5, 'a', 'y', 1)

SELECT COUNT(*), COUNT(K), SUM(K), MIN(K), MAX(K) FROM E
= 0|0|0|0|0

SELECT COUNT(*) FROM T
= 5

SELECT COUNT(*) FROM T WHERE K > 3
= 2

SELECT COUNT(N), COUNT(S), COUNT(DISTINCT S) FROM T
= 3|4|3

SELECT MIN(S), MAX(S), MIN(G), MAX(G) FROM T WHERE K <> 3
= a|b|x|y

SELECT COUNT(N), SUM(N) FROM T WHERE K IN (2, 4)
= 0|0

SELECT SUM(DISTINCT K), AVG(K) FROM T
= 15|3

SELECT G, COUNT(*) FROM T GROUP BY G
= NULL|1
= x|2
= y|2

SELECT G, SUM(K) FROM T GROUP BY G HAVING SUM(K) > 4
= y|7

SELECT G, COUNT(*) FROM T GROUP BY G ORDER BY G
= NULL|1
= x|2
= y|2

# A lone COUNT(*) under a WHERE the table cannot answer.
SELECT COUNT(*) FROM T WHERE K = 1 OR S = 'a'
= 3

SELECT COUNT(*) FROM T WHERE K > (SELECT MIN(K) FROM T)
= 4
