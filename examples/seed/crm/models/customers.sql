-- 12 customers in four countries; in batch 2 customer 3 has moved from Sweden to Germany.
with recursive n(i) as (select 1 union all select i + 1 from n where i < 12)
select
    i as id,
    case i % 6
        when 0 then 'Ada' when 1 then 'Bo' when 2 then 'Cleo'
        when 3 then 'Dario' when 4 then 'Eun' else 'Femi'
    end || ' ' || char(64 + i) || '.' as name,
    case
        when {{ var('batch', 1) }} >= 2 and i = 3 then 'de'
        else case i % 4 when 0 then 'de' when 1 then 'fr' when 2 then 'nl' else 'se' end
    end as country,
    date('2025-01-01', '+' || (i * 11) || ' days') as signed_up
from n
